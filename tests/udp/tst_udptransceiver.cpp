#include "LogCapture.h"
#include "ORTVUDPKeepAliveRounds.h"
#include "ORTVUDPTransceiver.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

// A client socket on loopback with an OS-chosen port.
class Client
{
public:
    Client()
    {
        socket.setProxy(QNetworkProxy::NoProxy);
        bound = socket.bind(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return socket.localPort(); }
    void send(const QByteArray &payload, quint16 to)
    {
        socket.writeDatagram(payload, QHostAddress::LocalHost, to);
    }
    // Waits for the next datagram; an empty result means none came in time.
    QByteArray receive(int timeoutMs = 2000)
    {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(timeoutMs))
            return {};
        return socket.receiveDatagram().data();
    }
    bool quiet(int ms = 100) { return !socket.hasPendingDatagrams() && !socket.waitForReadyRead(ms); }

    QUdpSocket socket;
    bool bound = false;
};

class tst_UDPTransceiver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startupLine();
    void bindFailureIsReported();
    void learnsPeersPerAddressAndPort();
    void linesForOneDatagramInOrder();
    void drainsAllPendingDatagramsInOrder();
    void batchesOfMixedSizesArriveWhole();
    void repliesToABatchGoOutInOrder();
    void sendToAllPeersInLearningOrder();
    void sendToOneEndpoint();
    void payloadEscaping_data();
    void payloadEscaping();
    void keepAliveFrameBytes();
    void keepAliveTickSendsToEveryPeer();
    void keepAliveTimerIsPrecise();
    void peerLimitGivesWayToStalest();

private:
    quint16 transceiverPort() const
    {
        return transceiver->findChild<QUdpSocket *>()->localPort();
    }
    // The transceiver's own timer: the 29 s one (the rounds' pacing timers are theirs).
    static QTimer *keepAliveTimer(const ORTVUDPTransceiver &owner)
    {
        return owner.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    }
    // Sends one datagram and waits until the transceiver has logged its RX line.
    void learn(Client &client, const QByteArray &payload = "hi")
    {
        const qsizetype before = rxLines();
        client.send(payload, transceiverPort());
        QTRY_COMPARE_WITH_TIMEOUT(rxLines(), before + 1, 2000);
    }
    qsizetype rxLines() const
    {
        qsizetype n = 0;
        for (const QString &line : log->lines())
            n += line.startsWith(QLatin1String("RX ("));
        return n;
    }
    static QString peerText(const Client &client)
    {
        return QStringLiteral("\"127.0.0.1\" : %1").arg(client.port());
    }

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ORTVUDPTransceiver> transceiver;
};

void tst_UDPTransceiver::init()
{
    log = std::make_unique<LogCapture>();
    transceiver = std::make_unique<ORTVUDPTransceiver>(nullptr, 0);
    log->clear();
}

void tst_UDPTransceiver::cleanup()
{
    transceiver.reset();
    log.reset();
}

void tst_UDPTransceiver::startupLine()
{
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
    const quint16 port = probe.localPort();
    probe.close();

    LogCapture capture;
    ORTVUDPTransceiver onPort(nullptr, port);
    QCOMPARE(capture.lines(), QStringList{QStringLiteral("ORTVUDPTransceiver started @ port  %1").arg(port)});
    QCOMPARE(onPort.findChild<QUdpSocket *>()->localAddress(), QHostAddress(QHostAddress::AnyIPv4));
}

void tst_UDPTransceiver::bindFailureIsReported()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));

    LogCapture capture;
    ORTVUDPTransceiver failed(nullptr, holder.localPort());
    QCOMPARE(capture.lines(),
             QStringList{QStringLiteral("ORTVUDPTransceiver failed to bind port %1 : \"%2\"")
                             .arg(holder.localPort())
                             .arg(failed.findChild<QUdpSocket *>()->errorString())});
    QCOMPARE(capture.types(), QList<QtMsgType>{QtWarningMsg});
    QVERIFY(keepAliveTimer(failed)->isActive());
}

void tst_UDPTransceiver::learnsPeersPerAddressAndPort()
{
    Client a, b;
    learn(a);
    learn(b);
    learn(a);

    QStringList newPeers;
    for (const QString &line : log->lines())
        if (line.startsWith(QLatin1String("New Peer")))
            newPeers << line;
    QCOMPARE(newPeers, (QStringList{"New Peer added to list:  " + peerText(a),
                                   "New Peer added to list:  " + peerText(b)}));
}

void tst_UDPTransceiver::linesForOneDatagramInOrder()
{
    Client client;
    // The receiver sends to all peers: the sender gets it only if it is already a peer.
    connect(transceiver.get(), &ORTVUDPTransceiver::didReceiveData, this,
            [this](const QNetworkDatagram &) {
                qDebug() << "receiver ran";
                transceiver->sendData(QByteArray("echo"));
            });
    learn(client, "one");
    QCOMPARE(client.receive(), QByteArray("echo"));
    learn(client, "two");

    QCOMPARE(log->lines(), (QStringList{
        "New Peer added to list:  " + peerText(client),
        "receiver ran",
        "TX ( " + peerText(client) + " ) -> \"echo\"",
        "RX ( " + peerText(client) + " ) <-  \"one\"",
        "receiver ran",
        "TX ( " + peerText(client) + " ) -> \"echo\"",
        "RX ( " + peerText(client) + " ) <-  \"two\"",
    }));
}

void tst_UDPTransceiver::drainsAllPendingDatagramsInOrder()
{
    Client client;
    QSignalSpy received(transceiver.get(), &ORTVUDPTransceiver::didReceiveData);
    connect(transceiver.get(), &ORTVUDPTransceiver::didReceiveData, this,
            [](const QNetworkDatagram &d) { qDebug() << "got" << d.data(); });
    // All three are queued in the socket before the event loop runs.
    client.send("1", transceiverPort());
    client.send("2", transceiverPort());
    client.send("3", transceiverPort());
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 3, 2000);

    QCOMPARE(log->lines(), (QStringList{
        "New Peer added to list:  " + peerText(client),
        "got \"1\"", "RX ( " + peerText(client) + " ) <-  \"1\"",
        "got \"2\"", "RX ( " + peerText(client) + " ) <-  \"2\"",
        "got \"3\"", "RX ( " + peerText(client) + " ) <-  \"3\"",
    }));
    const QNetworkDatagram first = received.at(0).at(0).value<QNetworkDatagram>();
    QCOMPARE(first.senderPort(), int(client.port()));
    QCOMPARE(first.data(), QByteArray("1"));
}

// More than a batch queued before the transceiver reads, empty ones and the largest (65,507
// bytes) among them: each handed on whole, in order, with sender and destination, and logged.
void tst_UDPTransceiver::batchesOfMixedSizesArriveWhole()
{
    Client client;
    QSignalSpy received(transceiver.get(), &ORTVUDPTransceiver::didReceiveData);
    QByteArrayList sent;
    for (int i = 0; i < 45; ++i) {
        sent << QByteArray(i == 7 ? 65507 : i % 5 ? i * 37 : 0, char('a' + i % 26));
        client.send(sent.last(), transceiverPort());
    }
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), 5000);
    QCOMPARE(rxLines(), sent.size());
    for (qsizetype i = 0; i < sent.size(); ++i) {
        const QNetworkDatagram dgram = received.at(i).at(0).value<QNetworkDatagram>();
        QCOMPARE(dgram.data(), sent.at(i));
        QCOMPARE(dgram.senderAddress().toString() + ':' + QString::number(dgram.senderPort()),
                 "127.0.0.1:" + QString::number(client.port()));
        QCOMPARE(dgram.destinationPort(), int(transceiverPort()));
    }
}

// Replies written while batches are handled go out together per batch: more of them than one
// send batch holds, to the sender and to every peer, all arrive in the order written, and one
// the kernel refuses (larger than a datagram can be) costs only itself.
void tst_UDPTransceiver::repliesToABatchGoOutInOrder()
{
    Client a, b;
    learn(a);
    learn(b);
    connect(transceiver.get(), &ORTVUDPTransceiver::didReceiveData, this,
            [this](const QNetworkDatagram &d) {
                if (d.data() == "too large")
                    transceiver->sendData(QNetworkDatagram(QByteArray(70000, 'x')), d.senderAddress(),
                                          quint16(d.senderPort()));
                else if (d.data().endsWith('0'))
                    transceiver->sendData(d.data());
                transceiver->sendData(QNetworkDatagram(d.data() + " back"), d.senderAddress(),
                                      quint16(d.senderPort()));
            });
    QByteArrayList toA, toB;
    for (int i = 0; i < 150; ++i) {
        const QByteArray payload = i == 77 ? QByteArray("too large") : QByteArray::number(i);
        Client &sender = i % 3 ? a : b;
        sender.send(payload, transceiverPort());
        if (payload.endsWith('0'))
            toA << payload, toB << payload;
        (i % 3 ? toA : toB) << payload + " back";
    }
    QTRY_COMPARE_WITH_TIMEOUT(rxLines(), 152, 5000);
    for (const QByteArray &expected : std::as_const(toA))
        QCOMPARE(a.receive(), expected);
    for (const QByteArray &expected : std::as_const(toB))
        QCOMPARE(b.receive(), expected);
    QVERIFY(a.quiet());
    QVERIFY(b.quiet());
}

void tst_UDPTransceiver::sendToAllPeersInLearningOrder()
{
    Client a, b, c;
    learn(b);
    learn(a);
    learn(c);
    log->clear();

    transceiver->sendData(QByteArray("bytes"));
    transceiver->sendData(QString::fromUtf8("text \xc3\xa9"));
    QNetworkDatagram elsewhere("dgram", QHostAddress(QStringLiteral("192.0.2.99")), 9);
    transceiver->sendData(elsewhere);

    for (Client *client : {&a, &b, &c}) {
        QCOMPARE(client->receive(), QByteArray("bytes"));
        QCOMPARE(client->receive(), QByteArray("text \xc3\xa9"));
        QCOMPARE(client->receive(), QByteArray("dgram"));
    }
    QStringList expected;
    for (const QString &shown : {QStringLiteral("\"bytes\""), QString::fromUtf8("\"text \xc3\xa9\""),
                                 QStringLiteral("\"dgram\"")})
        for (Client *client : {&b, &a, &c})
            expected << "TX ( " + peerText(*client) + " ) -> " + shown;
    QCOMPARE(log->lines(), expected);
}

void tst_UDPTransceiver::sendToOneEndpoint()
{
    Client peer, target;
    learn(peer);
    log->clear();

    QNetworkDatagram elsewhere("reply", QHostAddress(QStringLiteral("192.0.2.99")), 9);
    transceiver->sendData(elsewhere, QHostAddress::LocalHost, target.port());
    transceiver->sendData(QStringLiteral("text"), QHostAddress::LocalHost, target.port());

    QCOMPARE(target.receive(), QByteArray("reply"));
    QCOMPARE(target.receive(), QByteArray("text"));
    QVERIFY(peer.quiet());
    QCOMPARE(log->lines(), (QStringList{"TX ( " + peerText(target) + " ) -> \"reply\"",
                                       "TX ( " + peerText(target) + " ) -> \"text\""}));
}

void tst_UDPTransceiver::payloadEscaping_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("shown");

    // Plain literals: moc's lexer stumbles over raw strings holding backslashes.
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c") << "\"a\\\"b\\\\c\"";
    QTest::newRow("0xC3 then hex digit") << QByteArray("\xc3" "4x") << "\"\\xC3\"\"4x\"";
    QTest::newRow("0xC3 then non-hex") << QByteArray("\xc3z") << "\"\\xC3z\"";
    QTest::newRow("control characters")
        << QByteArray("\n\r\t\b\f\x01") << "\"\\n\\r\\t\\b\\f\\x01\"";
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << "\"a\\x00\"\"b\"";
    QTest::newRow("empty") << QByteArray() << "\"\"";
}

void tst_UDPTransceiver::payloadEscaping()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, shown);

    Client client;
    learn(client, payload);
    transceiver->sendData(payload);
    QCOMPARE(client.receive(), payload);
    QCOMPARE(log->lines().mid(1), (QStringList{"RX ( " + peerText(client) + " ) <-  " + shown,
                                               "TX ( " + peerText(client) + " ) -> " + shown}));
}

void tst_UDPTransceiver::keepAliveFrameBytes()
{
    const QDateTime newYear(QDate(2027, 1, 1), QTime(0, 0, 0, 5), QTimeZone::utc());
    const QByteArray frame = ORTVUDPKeepAliveRounds::frame(newYear);
    QCOMPARE(frame, QByteArray(R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"},)"
                               R"({"data":"01.01.2027 00:00:00.005","url":"com.orvane.date.utc"}])"));
    QCOMPARE(frame.size(), 110);

    // The time is written as UTC even when handed a local time.
    const QDateTime sameInstantElsewhere = newYear.toOffsetFromUtc(5 * 3600 + 1800);
    QCOMPARE(ORTVUDPKeepAliveRounds::frame(sameInstantElsewhere.toUTC()), frame);
}

void tst_UDPTransceiver::keepAliveTickSendsToEveryPeer()
{
    transceiver->keepAliveTimerTicked();
    QVERIFY(log->lines().isEmpty());

    Client a, b;
    learn(a);
    learn(b);
    log->clear();

    const QDateTime before = QDateTime::currentDateTimeUtc();
    transceiver->keepAliveTimerTicked();
    // One clock read for the tick: both peers get the same bytes.
    const QByteArray prefix = R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"},{"data":")";
    QStringList expectedLines;
    QByteArrayList frames;
    for (Client *peer : {&a, &b}) {
        const QByteArray frame = peer->receive();
        frames << frame;
        QCOMPARE(frame.size(), 110);
        QVERIFY(frame.startsWith(prefix));
        QVERIFY(frame.endsWith(R"(","url":"com.orvane.date.utc"}])"));
        const QDateTime stamp = QDateTime::fromString(QString::fromLatin1(frame.mid(prefix.size(), 23)),
                                                      QStringLiteral("dd.MM.yyyy HH:mm:ss.zzz"));
        QVERIFY2(stamp.isValid(), frame.constData());
        const qint64 skew = QDateTime(stamp.date(), stamp.time(), QTimeZone::utc()).msecsTo(before);
        QVERIFY2(qAbs(skew) < 1000, qPrintable(QString::number(skew)));
        const QString shown = QString::fromLatin1(frame).replace('"', QLatin1String("\\\""));
        expectedLines << "TX ( " + peerText(*peer) + " ) -> \"" + shown + "\"";
    }
    QCOMPARE(frames.at(1), frames.at(0));
    QCOMPARE(log->lines(), expectedLines);
    QCOMPARE(transceiver->counters().keepAliveRounds, 2u);
    QCOMPARE(transceiver->counters().keepAlivesSent, 2u);
}

void tst_UDPTransceiver::keepAliveTimerIsPrecise()
{
    const QTimer *timer = keepAliveTimer(*transceiver);
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(timer->interval(), 29000);
    QCOMPARE(timer->timerType(), Qt::PreciseTimer);
}

// At the limit a new endpoint takes the list position of the peer heard from longest ago; the
// warning comes at once, then at most once a second with the count since.
void tst_UDPTransceiver::peerLimitGivesWayToStalest()
{
    transceiver->peers().setLimit(3);
    const QHostAddress host(QStringLiteral("192.0.2.10"));
    for (quint16 port = 1; port <= 3; ++port)
        transceiver->checkAndAddToList(host, port);
    transceiver->checkAndAddToList(host, 1);  // heard from again: 2 is the stalest now
    log->clear();

    transceiver->checkAndAddToList(host, 4);
    transceiver->checkAndAddToList(host, 5);
    transceiver->checkAndAddToList(QHostAddress(QStringLiteral("::ffff:192.0.2.10")), 4);
    transceiver->checkAndAddToList(host, 6);

    QList<quint16> ports;
    for (qsizetype i = 0; i < transceiver->peers().size(); ++i)
        ports << transceiver->peers().at(i).port;
    QCOMPARE(ports, (QList<quint16>{6, 4, 5}));
    const QString full = QStringLiteral("Peer list full (3 peers): %1 heard from longest ago "
                                        "gave way to new ones");
    const QStringList expected{
        QStringLiteral("New Peer added to list:  \"192.0.2.10\" : 4"), full.arg(1),
        QStringLiteral("New Peer added to list:  \"192.0.2.10\" : 5"),
        QStringLiteral("New Peer added to list:  \"192.0.2.10\" : 6"),
    };
    QCOMPARE(log->lines(), expected);
    QCOMPARE(log->types().at(1), QtWarningMsg);
    QTRY_COMPARE_WITH_TIMEOUT(log->lines().size(), 5, 3000);
    QCOMPARE(log->lines().last(), full.arg(2));
    QCOMPARE(log->types().last(), QtWarningMsg);
    QCOMPARE(transceiver->counters().peersGivenWay, 3u);
}

QTEST_GUILESS_MAIN(tst_UDPTransceiver)
#include "tst_udptransceiver.moc"
