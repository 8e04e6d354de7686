#include "ORTVTopicCodec.h"

#include <QTest>

// Keys to topics and back, for every class of character the escaping treats apart.
class tst_TopicCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decodeRefuses_data();
    void decodeRefuses();
};

void tst_TopicCodec::roundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("topic");
    const char16_t loneHigh[] = {u'a', 0xd800, 0};
    const char16_t loneLow[] = {0xdc00, u'b', 0};
    const char16_t pairNonchar[] = {0xd83f, 0xdffe, 0}; // U+1FFFE
    QTest::newRow("plain") << "temp" << "temp";
    QTest::newRow("levels kept") << "hall/temp" << "hall/temp";
    QTest::newRow("empty levels") << "/a//b/" << "/a//b/";
    QTest::newRow("empty key") << "" << "%";
    QTest::newRow("escape char") << "50%" << "50%25";
    QTest::newRow("only escape char") << "%" << "%25";
    QTest::newRow("wildcards") << "a+b#c" << "a%2Bb%23c";
    QTest::newRow("NUL") << QString(QChar(0)) << "%00";
    QTest::newRow("C0 and C1 controls") << QStringLiteral("\t\n\x1f\x7f") + QChar(0x9f)
                                         << "%09%0A%1F%7F%9F";
    QTest::newRow("leading $") << "$SYS" << "%24SYS";
    QTest::newRow("inner $") << "a$b" << "a$b";
    QTest::newRow("latin-1 and beyond") << QStringLiteral("Zähler ° €") << QStringLiteral("Zähler ° €");
    QTest::newRow("astral") << QStringLiteral("🌡/t") << QStringLiteral("🌡/t");
    QTest::newRow("lone high surrogate") << QString::fromUtf16(loneHigh) << "a%uD800";
    QTest::newRow("lone low surrogate") << QString::fromUtf16(loneLow) << "%uDC00b";
    QTest::newRow("BMP noncharacters") << QString(QChar(0xfdd0)) + QChar(0xfffe) + QChar(0xffff)
                                       << "%uFDD0%uFFFE%uFFFF";
    QTest::newRow("astral noncharacter") << QString::fromUtf16(pairNonchar) << "%uD83F%uDFFE";
    QTest::newRow("text that looks escaped") << "%u0041%41" << "%25u0041%2541";
}

void tst_TopicCodec::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QString, topic);
    QCOMPARE(ORTVTopicCodec::encode(key), topic);
    const std::optional<QString> back = ORTVTopicCodec::decode(topic);
    QVERIFY(back);
    QCOMPARE(*back, key);
}

void tst_TopicCodec::decodeRefuses_data()
{
    QTest::addColumn<QString>("topic");
    QTest::newRow("empty") << "";
    QTest::newRow("escape cut short") << "a%4";
    QTest::newRow("not hex") << "%zz";
    QTest::newRow("wide cut short") << "%uD80";
    QTest::newRow("wide not hex") << "%uXYZW";
    QTest::newRow("plus") << "a+b";
    QTest::newRow("hash") << "a/#";
}

void tst_TopicCodec::decodeRefuses()
{
    QFETCH(QString, topic);
    QVERIFY(!ORTVTopicCodec::decode(topic));
}

QTEST_APPLESS_MAIN(tst_TopicCodec)
#include "tst_topiccodec.moc"
