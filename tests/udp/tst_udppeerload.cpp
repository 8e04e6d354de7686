// Ten thousand peers in one transceiver: the cost of a datagram from a new and from a known
// peer, and of one keep-alive tick to all of them. Runs in a private network namespace: the
// keep-alive frames go to ten thousand loopback ports.
#include "ORTVUDPKeepAliveRounds.h"
#include "ORTVUDPTransceiver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace {

constexpr int peers = 10000;
constexpr quint16 firstPort = 20000;

// Runs a keep-alive round of the transceiver now, as its 29 s timer would.
void tickKeepAlives(ORTVUDPTransceiver &transceiver)
{
    transceiver.keepAliveTimerTicked();
}

// Counts the log lines the transceiver writes. Formatting still happens; the lines go nowhere.
// The test's own results (qInfo) and any warning still reach the test log.
int newPeerLines = 0;
int txLines = 0;
// While set, TX lines are kept; while turnClock is set, the handler also waits after each for
// the clock's millisecond to turn, so the frames of one pass span many milliseconds.
bool keepTxLines = false;
bool turnClock = false;
QStringList keptTxLines;
QtMessageHandler previous = nullptr;
void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg) {
        previous(type, context, message);
        return;
    }
    newPeerLines += message.startsWith(QLatin1String("New Peer added to list:"));
    const bool tx = message.startsWith(QLatin1String("TX ("));
    txLines += tx;
    if (tx && keepTxLines)
        keptTxLines << message.mid(19);  // from the port on
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    while (tx && turnClock && QDateTime::currentMSecsSinceEpoch() == now) {
    }
}

} // namespace

class tst_UdpPeerLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void tenThousandPeers_data();
    void tenThousandPeers();
    void keepAliveThroughSmallSendBuffer();
    void keepAliveRounds_data();
    void keepAliveRounds();
};

void tst_UdpPeerLoad::initTestCase()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    previous = qInstallMessageHandler(countingHandler);
}

void tst_UdpPeerLoad::cleanupTestCase()
{
    qInstallMessageHandler(previous);
}

void tst_UdpPeerLoad::tenThousandPeers_data()
{
    // Which of the ten thousand endpoints are real sockets that check the keep-alive frame.
    QTest::addColumn<QList<int>>("listening");
    QTest::newRow("first, middle and last peer listen") << QList<int>{0, peers / 2, peers - 1};
}

void tst_UdpPeerLoad::tenThousandPeers()
{
    QFETCH(QList<int>, listening);

    ORTVUDPTransceiver transceiver(nullptr, 0);
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (int index : listening) {
        sockets.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(sockets.back()->bind(QHostAddress::LocalHost, quint16(firstPort + index)));
    }
    newPeerLines = 0;
    txLines = 0;

    // Every endpoint once: the list grows to ten thousand, each lookup scans what is there.
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < peers; ++i)
        transceiver.checkAndAddToList(QHostAddress(QHostAddress::LocalHost), quint16(firstPort + i));
    const qint64 addAllNs = clock.nsecsElapsed();
    QCOMPARE(newPeerLines, peers);

    // A datagram from a peer already known, the last one added (the longest search).
    constexpr int lookups = 1000;
    clock.restart();
    for (int i = 0; i < lookups; ++i)
        transceiver.checkAndAddToList(QHostAddress(QHostAddress::LocalHost),
                                      quint16(firstPort + peers - 1));
    const qint64 knownNs = clock.nsecsElapsed() / lookups;
    QCOMPARE(newPeerLines, peers);

    // The round is spread over passes at its pace: the tick itself sends the first burst, the
    // last peer's frame goes out no earlier than its turn.
    clock.restart();
    tickKeepAlives(transceiver);
    const qint64 tickNs = clock.nsecsElapsed();
    // At most the burst: fewer when the pass's time ran out first (a busy machine).
    QVERIFY2(txLines >= 1 && txLines <= int(ORTVUDPKeepAliveRounds::burst),
             qPrintable(QString::number(txLines)));
    QTRY_COMPARE_WITH_TIMEOUT(txLines, peers, 10000 * TEST_TIME_SCALE);
    const qint64 roundNs = clock.nsecsElapsed();
    const qint64 lastTurnNs = (peers - ORTVUDPKeepAliveRounds::burst) * 1000000000LL
        / ORTVUDPKeepAliveRounds::framesPerSecond;
    QVERIFY2(roundNs >= lastTurnNs, qPrintable(QString::number(roundNs)));

    qInfo("%d peers: adding all %.1f ms (%.2f us each on average), a known peer %.2f us, "
          "the tick's own pass %.1f ms, the whole round %.0f ms",
          peers, addAllNs / 1e6, addAllNs / 1e3 / peers, knownNs / 1e3, tickNs / 1e6,
          roundNs / 1e6);

    for (const auto &socket : sockets) {
        QVERIFY(socket->hasPendingDatagrams() || socket->waitForReadyRead(2000));
        const QNetworkDatagram frame = socket->receiveDatagram();
        QCOMPARE(frame.data().size(), 110);
        QVERIFY(frame.data().startsWith(R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"})"));
        QVERIFY(!socket->hasPendingDatagrams());
    }
}

// The loopback interface of this namespace sends at 2 Mbit/s, so frames queue and a small
// send buffer fills: every peer must still get its one frame, none lost to a full buffer.
void tst_UdpPeerLoad::keepAliveThroughSmallSendBuffer()
{
    constexpr int listeners = 300;
    const QStringList shaping{"qdisc", "add", "dev", "lo", "root", "tbf", "rate", "2mbit",
                              "burst", "1600", "limit", "100000"};
    QCOMPARE(QProcess::execute(QStringLiteral("tc"), shaping), 0);
    const auto unshape = qScopeGuard([] {
        QProcess::execute(QStringLiteral("tc"), {"qdisc", "del", "dev", "lo", "root"});
    });

    ORTVUDPTransceiver transceiver(nullptr, 0);
    transceiver.setSendBufferSize(4096);
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (int i = 0; i < listeners; ++i) {
        sockets.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(sockets.back()->bind(QHostAddress::LocalHost, 0));
        transceiver.checkAndAddToList(QHostAddress(QHostAddress::LocalHost),
                                      sockets.back()->localPort());
    }
    txLines = 0;
    tickKeepAlives(transceiver);
    // The buffer holds a handful of frames: the tick stopped there, far short of its burst.
    QVERIFY2(txLines < 50, qPrintable(QString::number(txLines)));
    QTRY_COMPARE_WITH_TIMEOUT(txLines, listeners, 10000 * TEST_TIME_SCALE);
    QCOMPARE(transceiver.counters().keepAlivesSent, quint64(listeners));
    QVERIFY(transceiver.counters().keepAliveBufferWaits > 0);
    for (const auto &socket : sockets) {
        QVERIFY(socket->hasPendingDatagrams() || socket->waitForReadyRead(5000));
        QCOMPARE(socket->receiveDatagram().data().size(), 110);
        QVERIFY(!socket->hasPendingDatagrams());
    }
}

void tst_UdpPeerLoad::keepAliveRounds_data()
{
    QTest::addColumn<int>("peerCount");
    QTest::newRow("2 peers") << 2;
    QTest::newRow("200 peers") << 200;
    QTest::newRow("20,000 peers") << 20000;
}

// The clock turns between any two writes of the tick's own pass, yet its frames are identical;
// a tick during an open round lets it finish: one frame per peer and round, in list order.
void tst_UdpPeerLoad::keepAliveRounds()
{
    QFETCH(int, peerCount);
    ORTVUDPTransceiver transceiver(nullptr, 0);
    for (int i = 0; i < peerCount; ++i)
        transceiver.checkAndAddToList(QHostAddress(QHostAddress::LocalHost), quint16(firstPort + i));
    keptTxLines.clear();
    keepTxLines = turnClock = true;
    tickKeepAlives(transceiver);
    turnClock = false;
    const QStringList firstPass = keptTxLines;
    tickKeepAlives(transceiver);
    QTRY_COMPARE_WITH_TIMEOUT(keptTxLines.size(), 2 * peerCount, 20000 * TEST_TIME_SCALE);
    keepTxLines = false;

    QCOMPARE(firstPass.size(), qMin(peerCount, int(ORTVUDPKeepAliveRounds::burst)));
    const QString frame = firstPass.first().section(QLatin1Char(' '), 1);
    for (const QString &line : firstPass)
        QCOMPARE(line.section(QLatin1Char(' '), 1), frame);
    for (int i = 0; i < 2 * peerCount; ++i)
        QCOMPARE(keptTxLines.at(i).section(QLatin1Char(' '), 0, 0).toInt(), firstPort + i % peerCount);
}

QTEST_GUILESS_MAIN(tst_UdpPeerLoad)
#include "tst_udppeerload.moc"
