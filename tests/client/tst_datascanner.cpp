#include "ORTVDataJson.h"
#include "ORTVDataScanner.h"

#include <QTest>

// The bridge's own reading of /Data against the JSON parser the client uses: the same pairs, or
// the same refusal, for what the server writes and for what it might write otherwise.
class tst_DataScanner : public QObject
{
    Q_OBJECT

private slots:
    void sameAsJsonParser_data();
    void sameAsJsonParser();
};

namespace {

std::optional<ORTVHttpReader::Values> sorted(std::optional<ORTVHttpReader::Values> values)
{
    if (values)
        std::sort(values->begin(), values->end());
    return values;
}

} // namespace

void tst_DataScanner::sameAsJsonParser_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("compact");
    const char16_t loneHigh[] = {u'k', 0xd800, 0};
    QHash<QString, QString> store{
        {"plain", "21.5"}, {"a/b", "x"}, {"", ""}, {"quote\"back\\slash", "\"\\"},
        {QStringLiteral("tab\tnl\nnul") + QChar(0) + "\x1f\x7f", "ctl"},
        {QStringLiteral("Zähler €"), QStringLiteral("°C ✓ 🌡")}, {QString::fromUtf16(loneHigh), "lone"}};
    QTest::newRow("the server's writer") << ORTVDataJson::document(store) << true;
    QTest::newRow("empty store") << ORTVDataJson::document({}) << true;
    QTest::newRow("all escapes") << QByteArray(R"({"data":[{"\/\b\f\n\r\t\u00e9":"\ud83c\udf21\uDC00"}]})") << true;
    QTest::newRow("white space") << QByteArray("{ \"data\" : [ {\"a\":\"b\"} ] }") << false;
    QTest::newRow("message first") << QByteArray(R"({"message":"m","data":[{"a":"b"}]})") << false;
    QTest::newRow("number value") << QByteArray(R"({"data":[{"a":1}]})") << false;
    QTest::newRow("two members") << QByteArray(R"({"data":[{"a":"1","b":"2"}]})") << false;
    QTest::newRow("invalid UTF-8") << QByteArray("{\"data\":[{\"a\":\"\xff\"}]}") << false;
    QTest::newRow("raw control character") << QByteArray("{\"data\":[{\"a\":\"\t\"}]}") << false;
    QTest::newRow("unknown escape") << QByteArray(R"({"data":[{"a":"\x"}]})") << false;
    QTest::newRow("short \\u") << QByteArray(R"({"data":[{"a":"\u12"}]})") << false;
    QTest::newRow("cut short") << QByteArray(R"({"data":[{"a":"b"})") << false;
    QTest::newRow("garbage after") << QByteArray(R"({"data":[]}x)") << false;
    QTest::newRow("two data members") << QByteArray(R"({"data":[],"data":"x"})") << false;
}

void tst_DataScanner::sameAsJsonParser()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, compact);
    const std::optional<ORTVHttpReader::Values> expected = sorted(ORTVHttpReader::parseData(body));
    QCOMPARE(sorted(ORTVDataScanner::parse(body)), expected);
    // What the server writes is read without the JSON parser.
    QCOMPARE(ORTVDataScanner::scanCompact(body).has_value(), compact);
    if (compact)
        QCOMPARE(sorted(ORTVDataScanner::scanCompact(body)), expected);
}

QTEST_APPLESS_MAIN(tst_DataScanner)
#include "tst_datascanner.moc"
