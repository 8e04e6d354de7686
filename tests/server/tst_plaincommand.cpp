#include "ORTVPlainCommand.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The plain reader must never disagree with the JSON parser: what it reads, the parser reads
// as an object with the same members; whatever it cannot vouch for, it leaves to the parser.
class tst_PlainCommand : public QObject
{
    Q_OBJECT

private slots:
    void readsWhatTheParserReads_data();
    void readsWhatTheParserReads();
};

void tst_PlainCommand::readsWhatTheParserReads_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("plain");

    QTest::newRow("read") << QByteArray(R"({"cmd":"ReadData","url":"temp"})") << true;
    QTest::newRow("set") << QByteArray(R"({"cmd":"SetData","url":"t","data":"21.5"})") << true;
    QTest::newRow("whitespace everywhere")
        << QByteArray(" \t\r\n{ \"url\" :\t\"k\" ,\n\"cmd\":\"SetData\" , \"data\" : \"v w\" }\r\n")
        << true;
    QTest::newRow("other members") << QByteArray(R"({"x":"1","cmd":"ReadData","url":"k","x":"2"})")
                                   << true;
    QTest::newRow("empty strings") << QByteArray(R"({"cmd":"","url":"","data":""})") << true;
    QTest::newRow("no cmd") << QByteArray(R"({"url":"k"})") << true;
    QTest::newRow("all printable ASCII")
        << QByteArray(R"({"cmd":"ReadData","url":" !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~"})") << true;

    QTest::newRow("array") << QByteArray(R"([{"cmd":"ReadData","url":"k"}])") << false;
    QTest::newRow("empty object") << QByteArray("{}") << false;
    QTest::newRow("escaped quote") << QByteArray(R"({"cmd":"ReadData","url":"a\"b"})") << false;
    QTest::newRow("unicode escape") << QByteArray(R"({"cmd":"ReadData","url":"\u0041"})") << false;
    QTest::newRow("UTF-8") << QByteArray("{\"cmd\":\"ReadData\",\"url\":\"\xc3\xa9\"}") << false;
    QTest::newRow("raw tab in a string") << QByteArray("{\"cmd\":\"ReadData\",\"url\":\"a\tb\"}")
                                         << false;
    QTest::newRow("raw DEL") << QByteArray("{\"cmd\":\"ReadData\",\"url\":\"a\x7f\"}") << false;
    QTest::newRow("number data") << QByteArray(R"({"cmd":"SetData","url":"k","data":7})") << false;
    QTest::newRow("literal") << QByteArray(R"({"cmd":"SetData","url":"k","data":true})") << false;
    QTest::newRow("nested") << QByteArray(R"({"cmd":"ReadData","url":"k","x":{"a":"b"}})")
                            << false;
    QTest::newRow("cmd twice") << QByteArray(R"({"cmd":"ReadData","cmd":"SetData","url":"k"})")
                               << false;
    QTest::newRow("url twice") << QByteArray(R"({"cmd":"ReadData","url":"a","url":"b"})") << false;
    QTest::newRow("data twice") << QByteArray(R"({"cmd":"SetData","url":"k","data":"a","data":"b"})")
                                << false;
    QTest::newRow("trailing comma") << QByteArray(R"({"cmd":"ReadData","url":"k",})") << false;
    QTest::newRow("text after") << QByteArray(R"({"cmd":"ReadData","url":"k"}x)") << false;
    QTest::newRow("two objects") << QByteArray(R"({"url":"k"}{"cmd":"ReadData"})") << false;
    QTest::newRow("unclosed") << QByteArray(R"({"cmd":"ReadData","url":"k")") << false;
    QTest::newRow("unterminated string") << QByteArray(R"({"cmd":"ReadData","url":"k)") << false;
    QTest::newRow("no colon") << QByteArray(R"({"cmd" "ReadData"})") << false;
    QTest::newRow("single quotes") << QByteArray(R"({'cmd':'ReadData','url':'k'})") << false;
    QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf{\"url\":\"k\"}") << false;
    QTest::newRow("NUL after") << QByteArray("{\"url\":\"k\"}\0", 12) << false;
}

void tst_PlainCommand::readsWhatTheParserReads()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, plain);

    const std::optional<ORTVPlainCommand> command = ORTVPlainCommand::read(datagram);
    QCOMPARE(command.has_value(), plain);
    if (!command)
        return;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(datagram, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(doc.isObject());
    const QJsonObject object = doc.object();
    const std::pair<const char *, std::optional<QByteArrayView>> members[] = {
        {"cmd", command->cmd}, {"url", command->url}, {"data", command->data}};
    for (const auto &[name, value] : members) {
        QCOMPARE(object.contains(QLatin1String(name)), value.has_value());
        if (value)
            QCOMPARE(object.value(QLatin1String(name)).toString(), QString::fromLatin1(*value));
    }
}

QTEST_APPLESS_MAIN(tst_PlainCommand)
#include "tst_plaincommand.moc"
