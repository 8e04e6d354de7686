// ORTVLogFormat against the debug stream itself: every case formats the same items both ways,
// captures both messages from the message channel and requires them to be identical.
#include "LogCapture.h"
#include "ORTVLogFormat.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTest>

#include <functional>

using Store = QHash<QString, QString>;

namespace {

// The one message that `write` writes, or a marker telling how many there were instead.
QString messageOf(const std::function<void()> &write)
{
    LogCapture capture;
    write();
    const QStringList lines = capture.lines();
    if (lines.size() != 1 || capture.types() != QList<QtMsgType>{QtDebugMsg})
        return QStringLiteral("<%1 messages>").arg(lines.size());
    return lines.first();
}

QString formatted(const std::function<void(ORTVLogFormat &)> &append)
{
    return messageOf([&] {
        ORTVLogFormat format;
        append(format);
        format.emitDebug();
    });
}

QString fromUnits(std::initializer_list<char16_t> units)
{
    return QString(reinterpret_cast<const QChar *>(units.begin()), qsizetype(units.size()));
}

// Fixed seed: the same strings on every run, so a failure can be reproduced by its row name.
constexpr quint32 fuzzSeed = 0x0a7d1e55;
constexpr int fuzzRows = 300;

QString randomText(QRandomGenerator &random)
{
    static const char16_t awkward[] = {u'"', u'\\', u'\n', u'\r', u'\t', u'\b', u'\f', u'\v',
                                       0x00, 0x1b, 0x1f, 0x7f, 0x80, 0x9f, 0xa0, 0xad};
    QString text;
    const int length = random.bounded(48);
    for (int i = 0; i < length; ++i) {
        const int kind = random.bounded(100);
        if (kind < 40) {
            text += QChar(char16_t(0x20 + random.bounded(0x5f)));
        } else if (kind < 50) {
            text += QChar(u"0123456789abcdefABCDEF"[random.bounded(22)]);
        } else if (kind < 62) {
            text += QChar(awkward[random.bounded(int(std::size(awkward)))]);
        } else if (kind < 77) {
            text += QChar(char16_t(0x80 + random.bounded(0xd800 - 0x80)));
        } else if (kind < 82) {
            text += QChar(char16_t(0xe000 + random.bounded(0x10000 - 0xe000)));
        } else if (kind < 90) {
            text += QChar(char16_t(0xd800 + random.bounded(0x800)));  // a surrogate on its own
        } else {
            const char32_t ucs4 = 0x10000 + random.bounded(0x110000 - 0x10000);
            text += QChar(QChar::highSurrogate(ucs4));
            text += QChar(QChar::lowSurrogate(ucs4));
        }
    }
    return text;
}

QByteArray randomBytes(QRandomGenerator &random)
{
    QByteArray bytes;
    const int length = random.bounded(48);
    for (int i = 0; i < length; ++i) {
        const int kind = random.bounded(100);
        if (kind < 35)
            bytes += char(random.bounded(256));
        else if (kind < 55)
            bytes += "0123456789abcdefABCDEFgG"[random.bounded(24)];
        else
            bytes += char(0x20 + random.bounded(0x5f));
    }
    return bytes;
}

} // namespace

class tst_LogFormat : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLoggingCategory::setFilterRules(QString()); }

    void text_data();
    void text();
    void bytes_data();
    void bytes();
    void numbers_data();
    void numbers();
    void address_data();
    void address();
    void store_data();
    void store();
    void storeDumpsInSequence_data();
    void storeDumpsInSequence();
    void lines_data();
    void lines();
    void disabledDebugFormatsNothing_data();
    void disabledDebugFormatsNothing();
    void bufferIsReusedAcrossLines();
};

void tst_LogFormat::text_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("plain") << QStringLiteral("temp.sensor-1 = 21.5 ~ {}[]");
    QTest::newRow("quotes and backslashes") << QStringLiteral("a\"b\\c\\\\\"\"");
    QTest::newRow("C escapes") << QStringLiteral("\n\r\t\b\f");
    QTest::newRow("hex digits after escapes stay as they are") << QStringLiteral("\x01" "af\x7f" "0");
    QTest::newRow("DEL") << QStringLiteral("\x7f");
    for (char16_t c = 0; c < 0x20; ++c)
        QTest::addRow("control U+%04X", unsigned(c)) << QString(QChar(c)) + u'x';
    QTest::newRow("C1 controls and NBSP") << fromUnits({0x80, 0x85, 0x9f, 0xa0, u'!'});
    QTest::newRow("Latin-1 letters") << QStringLiteral(u"caf\u00e9 \u00fc\u00df\u00ff");
    QTest::newRow("soft hyphen (format)") << QStringLiteral(u"a\u00adb");
    QTest::newRow("CJK, Cyrillic, Arabic") << QStringLiteral(u"\u6e29\u5ea6 \u0442\u0435\u043c\u043f \u062d\u0631");
    QTest::newRow("combining mark") << QStringLiteral(u"e\u0301");
    QTest::newRow("line and paragraph separators") << QStringLiteral(u"\u2028\u2029");
    QTest::newRow("zero width and BOM") << QStringLiteral(u"\u200b\u200d\ufeff");
    QTest::newRow("private use BMP") << QStringLiteral(u"\ue000\uf8ff");
    QTest::newRow("replacement and noncharacters") << QStringLiteral(u"\ufffd\ufffe\uffff");
    QTest::newRow("unassigned BMP") << QStringLiteral(u"\u0378\u2fff");
    QTest::newRow("non-BMP printable") << QStringLiteral(u"\U0001F600 \U00010348 \U0002000B");
    QTest::newRow("non-BMP format") << QStringLiteral(u"\U000E0001\U000E007F");
    QTest::newRow("non-BMP private use") << QStringLiteral(u"\U000F0000\U0010FFFD");
    QTest::newRow("non-BMP unassigned and noncharacter") << QStringLiteral(u"\U0002FFFE\U0010FFFF");
    QTest::newRow("lone high surrogate at end") << fromUnits({u'a', 0xd83d});
    QTest::newRow("lone high surrogate then text") << fromUnits({0xd83d, u'a', u'1'});
    QTest::newRow("two high surrogates then low") << fromUnits({0xd83d, 0xd83d, 0xde00});
    QTest::newRow("lone low surrogate") << fromUnits({0xde00, u'b'});
    QTest::newRow("low then high") << fromUnits({0xdc00, 0xd800});
    QTest::newRow("pair then lone high") << fromUnits({0xd83d, 0xde00, 0xdbff});
    QTest::newRow("long plain run") << QString(5000, u'k');
    QTest::newRow("long escaped run") << QString(5000, u'\x01');

    QRandomGenerator random(fuzzSeed);
    for (int i = 0; i < fuzzRows; ++i)
        QTest::addRow("fuzz %d", i) << randomText(random);
}

void tst_LogFormat::text()
{
    QFETCH(QString, text);
    QCOMPARE(formatted([&](ORTVLogFormat &f) { f.appendQuoted(QStringView(text)); }),
             messageOf([&] { qDebug() << text; }));
}

void tst_LogFormat::bytes_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("JSON command")
        << QByteArray(R"({"cmd":"SetData","url":"temp","data":"21.5"})");
    QTest::newRow("backslash escapes") << QByteArray("{\"url\":\"a\\\"b\\\\c\\n\"}");
    QTest::newRow("C escapes") << QByteArray("\n\r\t\b\f");
    QTest::newRow("NUL then hex digit") << QByteArray("\0" "0", 2);
    QTest::newRow("NUL then non-hex") << QByteArray("\0" "g", 2);
    QTest::newRow("escape then quote") << QByteArray("\x01\"");
    QTest::newRow("two hex escapes") << QByteArray("\xc3\xa9");
    QTest::newRow("UTF-8 text") << QByteArray("caf\xc3\xa9 \xf0\x9f\x98\x80!");
    QTest::newRow("DEL then F") << QByteArray("\x7f" "F");
    for (int b = 0; b < 256; ++b) {
        QTest::addRow("byte %02X then a", b) << QByteArray(1, char(b)) + "a";
        QTest::addRow("byte %02X then z", b) << QByteArray(1, char(b)) + "z";
    }
    QTest::newRow("long") << QByteArray(5000, '\xff');

    QRandomGenerator random(fuzzSeed);
    for (int i = 0; i < fuzzRows; ++i)
        QTest::addRow("fuzz %d", i) << randomBytes(random);
}

void tst_LogFormat::bytes()
{
    QFETCH(QByteArray, bytes);
    QCOMPARE(formatted([&](ORTVLogFormat &f) { f.appendQuoted(QByteArrayView(bytes)); }),
             messageOf([&] { qDebug() << bytes; }));
}

void tst_LogFormat::numbers_data()
{
    QTest::addColumn<qint64>("number");
    for (qint64 n : {qint64(0), qint64(7), qint64(-1), qint64(1234), qint64(65535),
                     qint64(-50000), std::numeric_limits<qint64>::max(),
                     std::numeric_limits<qint64>::min()})
        QTest::addRow("%lld", static_cast<long long>(n)) << n;
}

void tst_LogFormat::numbers()
{
    QFETCH(qint64, number);
    QCOMPARE(formatted([&](ORTVLogFormat &f) { f.appendNumber(number); }),
             messageOf([&] { qDebug() << number; }));
}

void tst_LogFormat::address_data()
{
    QTest::addColumn<QHostAddress>("address");

    QTest::newRow("IPv4") << QHostAddress(QStringLiteral("192.0.2.10"));
    QTest::newRow("loopback") << QHostAddress(QHostAddress::LocalHost);
    QTest::newRow("broadcast") << QHostAddress(QHostAddress::Broadcast);
    QTest::newRow("Any") << QHostAddress(QHostAddress::Any);
    QTest::newRow("AnyIPv4") << QHostAddress(QHostAddress::AnyIPv4);
    QTest::newRow("AnyIPv6") << QHostAddress(QHostAddress::AnyIPv6);
    QTest::newRow("IPv6 loopback") << QHostAddress(QHostAddress::LocalHostIPv6);
    QTest::newRow("IPv6") << QHostAddress(QStringLiteral("2001:db8::abcd:1"));
    QTest::newRow("IPv6 with scope") << QHostAddress(QStringLiteral("fe80::1%lo"));
    QTest::newRow("IPv4-mapped IPv6") << QHostAddress(QStringLiteral("::ffff:192.0.2.7"));
    QTest::newRow("null") << QHostAddress();
}

void tst_LogFormat::address()
{
    QFETCH(QHostAddress, address);
    QCOMPARE(formatted([&](ORTVLogFormat &f) { f.appendAddress(address); }),
             messageOf([&] { qDebug() << address; }));
}

void tst_LogFormat::store_data()
{
    QTest::addColumn<Store>("store");

    QTest::newRow("empty") << Store();
    QTest::newRow("one key") << Store{{"temp", "21.5"}};
    QTest::newRow("empty key and value") << Store{{"", ""}};
    QTest::newRow("escapes in keys and values")
        << Store{{"a\"b", "c\\d"}, {"line\nbreak", "tab\there"}, {QStringLiteral(u"\u00e9"), "\x01"},
                 {fromUnits({0xd800}), QStringLiteral(u"\U0001F600")}};
    Store thousand;
    for (int i = 0; i < 1000; ++i)
        thousand.insert(QStringLiteral("bench.key.%1").arg(i, 6, 10, QLatin1Char('0')),
                        QString::number(i * 0.5));
    QTest::newRow("1000 keys") << thousand;

    QRandomGenerator random(fuzzSeed);
    for (int i = 0; i < 50; ++i) {
        Store store;
        const int size = random.bounded(12);
        for (int k = 0; k < size; ++k)
            store.insert(randomText(random), randomText(random));
        QTest::addRow("fuzz %d", i) << store;
    }
}

void tst_LogFormat::store()
{
    QFETCH(Store, store);
    const QString expected = messageOf([&] { qDebug() << store; });
    QCOMPARE(formatted([&](ORTVLogFormat &f) { f.appendStore(store); }), expected);
    QCOMPARE(messageOf([&] { ORTVLogFormat::logStore(store); }), expected);
}

// logStore copies entries that are unchanged since its previous dump. Each row changes one
// store step by step (and sometimes dumps another one in between) and compares every dump
// with the debug stream's. Steps: "set k v", "append k s" (changes the value in place),
// "remove k", "clear", "other" (dumps a different store).
void tst_LogFormat::storeDumpsInSequence_data()
{
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("updates of one key, same length")
        << QStringList{"set a 1", "set a 2", "set a 1", "set a 2", "set a 3", "set a 3"};
    QTest::newRow("new keys in between")
        << QStringList{"set a 1", "set b 2", "set c 3", "set b 4", "set d 5", "set a 6"};
    QTest::newRow("value changed in place")
        << QStringList{"set a x", "append a y", "append a \"", "set b z", "append a y"};
    QTest::newRow("remove and clear")
        << QStringList{"set a 1", "set b 2", "remove a", "set a 1", "clear", "set b 2"};
    QTest::newRow("another store in between")
        << QStringList{"set a 1", "set b 2", "other", "set a 3", "other", "other", "set b 4"};
    QTest::newRow("escapes in cached entries")
        << QStringList{"set \t tab\n", "set q \"", "set \t tab\n", "set z 1", "set q \\"};

    QRandomGenerator random(fuzzSeed);
    static const char *const values[] = {"1", "2", "10", "\"", "\\", "x\ty", "", "21.5"};
    for (int row = 0; row < 20; ++row) {
        QStringList steps;
        for (int i = 0; i < 200; ++i) {
            const QString key = QString(QChar(u'a' + random.bounded(row < 10 ? 4 : 40)));
            const int kind = random.bounded(100);
            if (kind < 80)
                steps << "set " + key + ' ' + values[random.bounded(int(std::size(values)))];
            else if (kind < 88)
                steps << "append " + key + " !";
            else if (kind < 95)
                steps << "remove " + key;
            else if (kind < 98)
                steps << "other";
            else
                steps << "clear";
        }
        QTest::addRow("fuzz %d", row) << steps;
    }
}

void tst_LogFormat::storeDumpsInSequence()
{
    QFETCH(QStringList, steps);
    const Store other{{"o", "p"}, {"q", "r"}};
    Store store;
    for (const QString &step : steps) {
        const QStringList parts = step.split(u' ');
        const QString &op = parts.at(0);
        if (op == QLatin1String("set"))
            store.insert(parts.at(1), parts.value(2));
        else if (op == QLatin1String("append"))
            store[parts.at(1)].append(parts.value(2));
        else if (op == QLatin1String("remove"))
            store.remove(parts.at(1));
        else if (op == QLatin1String("clear"))
            store.clear();
        const Store &dumped = op == QLatin1String("other") ? other : store;
        QCOMPARE(messageOf([&] { ORTVLogFormat::logStore(dumped); }),
                 messageOf([&] { qDebug() << dumped; }));
    }
}

// Each line exactly as the transceiver, the data core and the server wrote it item by item.
void tst_LogFormat::lines_data()
{
    QTest::addColumn<QHostAddress>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("payload");

    const QByteArray command = R"({"cmd":"ReadData","url":"temp"})";
    QTest::newRow("IPv4") << QHostAddress(QStringLiteral("192.0.2.10")) << 50000 << command;
    QTest::newRow("loopback, port 1") << QHostAddress(QHostAddress::LocalHost) << 1 << command;
    QTest::newRow("Any, port 0") << QHostAddress(QHostAddress::Any) << 0 << QByteArray();
    QTest::newRow("IPv6 with scope") << QHostAddress(QStringLiteral("fe80::1%lo")) << 65535
                                     << QByteArray("\xc3" "4\x00\"", 4);
    QTest::newRow("IPv4-mapped") << QHostAddress(QStringLiteral("::ffff:10.0.0.1")) << 4711
                                 << QByteArray("caf\xc3\xa9\n");
    QTest::newRow("null address, port -1") << QHostAddress() << -1 << QByteArray("x");
}

void tst_LogFormat::lines()
{
    QFETCH(QHostAddress, address);
    QFETCH(int, port);
    QFETCH(QByteArray, payload);
    const quint16 peerPort = quint16(port);
    const QString text = QString::fromUtf8(payload);

    QCOMPARE(messageOf([&] { ORTVLogFormat::logReceived(address, port, payload); }),
             messageOf([&] {
                 qDebug() << "RX (" << address.toString() << ":" << port << ") <- " << payload;
             }));
    QCOMPARE(messageOf([&] { ORTVLogFormat::logSent(address, peerPort, payload); }),
             messageOf([&] {
                 qDebug() << "TX (" << address.toString() << ":" << peerPort << ") ->" << payload;
             }));
    QCOMPARE(messageOf([&] { ORTVLogFormat::logSent(address, peerPort, text); }),
             messageOf([&] {
                 qDebug() << "TX (" << address.toString() << ":" << peerPort << ") ->" << text;
             }));
    QCOMPARE(messageOf([&] { ORTVLogFormat::logSending(address, peerPort); }),
             messageOf([&] { qDebug() << "TX:" << address << ":" << peerPort; }));
    QCOMPARE(messageOf([&] { ORTVLogFormat::logNewPeer(address, peerPort); }),
             messageOf([&] {
                 qDebug() << "New Peer added to list: " << address.toString() << ":" << peerPort;
             }));
}

// Each row sets the logging rules, then writes every kind of line once.
void tst_LogFormat::disabledDebugFormatsNothing_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<bool>("written");

    QTest::newRow("no rules") << QString() << true;
    QTest::newRow("default.debug=false") << QStringLiteral("default.debug=false") << false;
    QTest::newRow("*.debug=false") << QStringLiteral("*.debug=false") << false;
    QTest::newRow("default.debug=true") << QStringLiteral("default.debug=true") << true;
    QTest::newRow("default.warning=false only") << QStringLiteral("default.warning=false") << true;
    QTest::newRow("other category off") << QStringLiteral("qt.network.debug=false") << true;
}

void tst_LogFormat::disabledDebugFormatsNothing()
{
    QFETCH(QString, rules);
    QFETCH(bool, written);

    Store big;
    for (int i = 0; i < 1000; ++i)
        big.insert(QString::number(i), QStringLiteral("v"));
    const QHostAddress peer(QStringLiteral("192.0.2.1"));

    QLoggingCategory::setFilterRules(rules);
    QCOMPARE(ORTVLogFormat::enabled(), written);
    const quint64 before = ORTVLogFormat::linesFormatted();
    LogCapture capture;
    ORTVLogFormat::logStore(big);
    ORTVLogFormat::logReceived(peer, 1, "rx");
    ORTVLogFormat::logSent(peer, 1, QByteArray("tx"));
    ORTVLogFormat::logSent(peer, 1, QStringLiteral("tx"));
    ORTVLogFormat::logSending(peer, 1);
    ORTVLogFormat::logNewPeer(peer, 1);

    const int expected = written ? 6 : 0;
    QCOMPARE(capture.lines().size(), expected);
    QCOMPARE(ORTVLogFormat::linesFormatted() - before, quint64(expected));
}

// The shared buffer grows for a long line, must not leak its tail into a shorter one, and must
// not change a message that a handler kept.
void tst_LogFormat::bufferIsReusedAcrossLines()
{
    const QHostAddress peer(QHostAddress::LocalHost);
    const QByteArray longPayload(20000, 'x');
    const QString longLine = "RX ( \"127.0.0.1\" : 2 ) <-  \"" + QString(20000, u'x') + '"';
    QCOMPARE(messageOf([&] { ORTVLogFormat::logReceived(peer, 2, longPayload); }), longLine);
    QCOMPARE(messageOf([&] { ORTVLogFormat::logReceived(peer, 3, "y"); }),
             QStringLiteral("RX ( \"127.0.0.1\" : 3 ) <-  \"y\""));

    LogCapture kept;
    ORTVLogFormat::logReceived(peer, 2, longPayload);
    ORTVLogFormat::logStore(Store());
    ORTVLogFormat::logNewPeer(peer, 4);
    QCOMPARE(kept.lines(), (QStringList{longLine, QStringLiteral("QHash()"),
                                       QStringLiteral("New Peer added to list:  \"127.0.0.1\" : 4")}));
}

QTEST_GUILESS_MAIN(tst_LogFormat)
#include "tst_logformat.moc"
