// Hostile and faulty input against the real server, in a private network namespace. After every
// case the server must still answer /Status and a SetData/ReadData round trip, and its resident
// memory must stay under RSS_LIMIT_MB.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QSet>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <csignal>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr qint64 rssLimitKb = qint64(RSS_LIMIT_MB) * 1024;
// The guard's limits in the server.
constexpr qint64 requestLimit = 4 * 1024 * 1024;
constexpr int idleLimitMs = 30000;

const QByteArray getStatus = "GET /Status HTTP/1.1\r\nHost: x\r\n\r\n";
const QByteArray statusBody = R"({"message":"Current Server status","status":"success"})";

qint64 procStatusKb(qint64 pid, const QByteArray &field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User plus system CPU time of a process, in milliseconds.
qint64 cpuMs(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000
        / sysconf(_SC_CLK_TCK);
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// What the descriptors of a process point at, counted by kind ("socket", "/dev/null", ...).
QString descriptorTargets(qint64 pid)
{
    QMap<QString, int> kinds;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        ++kinds[fd.symLinkTarget().section(':', 0, 0)];
    QStringList text;
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
        text << QStringLiteral("%1 x %2").arg(it.value()).arg(it.key());
    return text.join(QLatin1String(", "));
}

// The server-side TCP sockets (local port 8080) whose peer is one of the given client ports,
// as "peer port: kernel state" (TIME_WAIT, which holds no descriptor, left out). This test and
// the server share a private network namespace, so the kernel's table holds only theirs.
QStringList serverSideOf(const QSet<quint16> &clientPorts)
{
    QStringList found;
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return {QStringLiteral("/proc/net/tcp unreadable")};
    table.readLine();  // the heading
    while (!table.atEnd()) {
        const QList<QByteArray> f = table.readLine().simplified().split(' ');
        if (f.size() < 4)
            continue;
        const quint16 local = f.at(1).split(':').value(1).toUShort(nullptr, 16);
        const quint16 peer = f.at(2).split(':').value(1).toUShort(nullptr, 16);
        const QByteArray state = f.at(3);
        constexpr char timeWait[] = "06";
        if (local == 8080 && clientPorts.contains(peer) && state != timeWait)
            found << QStringLiteral("%1: %2").arg(peer).arg(QString::fromLatin1(state));
    }
    return found;
}

// Whole answer to one request on a fresh connection, or what came before the server closed it.
QByteArray httpExchange(const QByteArray &request, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    if (!socket.waitForConnected(2000))
        return {};
    socket.write(request);
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const qsizetype headEnd = data.indexOf("\r\n\r\n");
        if (headEnd >= 0) {
            const qsizetype at = data.toLower().indexOf("content-length:");
            const qint64 length = at < 0 ? 0
                : data.mid(at + 15, data.indexOf('\r', at) - at - 15).trimmed().toLongLong();
            if (data.size() >= headEnd + 4 + length)
                break;
        }
        if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState)
            break;
        data += socket.readAll();
    }
    return data;
}

class UdpClient
{
public:
    explicit UdpClient(quint16 port = 0) { socket.bind(QHostAddress::LocalHost, port); }
    void send(const QByteArray &payload)
    {
        socket.writeDatagram(payload, QHostAddress::LocalHost, 1234);
    }
    // The next datagram other than a keep-alive frame, which comes every 29 s to every peer.
    QByteArray receive(int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (socket.hasPendingDatagrams()
               || socket.waitForReadyRead(int(qMax<qint64>(0, timeoutMs - clock.elapsed())))) {
            const QByteArray data = socket.receiveDatagram().data();
            if (!data.startsWith(R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"})"))
                return data;
        }
        return {};
    }
    QString rxLine() const
    {
        return QStringLiteral("RX ( \"127.0.0.1\" : %1 ) <-").arg(socket.localPort());
    }
    QUdpSocket socket;
};

// Sends until the server stops taking data (closes or resets the connection), `limit` bytes
// have gone or `timeoutMs` passed. Returns how many bytes went out.
qint64 pour(QTcpSocket &socket, const QByteArray &head, qint64 limit, int timeoutMs)
{
    const QByteArray chunk(64 * 1024, 'a');
    qint64 sent = socket.write(head);
    QElapsedTimer clock;
    clock.start();
    while (sent < limit && clock.elapsed() < timeoutMs
           && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.bytesToWrite() < 1024 * 1024)
            sent += qMax<qint64>(0, socket.write(chunk));
        socket.waitForBytesWritten(50);
    }
    return sent;
}

// The server under test. Its output goes to files rather than pipes: a pipe that the test does
// not drain while it waits for an answer would stall a server writing a long log line.
class Server
{
public:
    ~Server() { stop(); }
    bool start()
    {
        if (!dir.isValid())
            return false;
        process.setStandardOutputFile(dir.filePath(QStringLiteral("out")));
        process.setStandardErrorFile(dir.filePath(QStringLiteral("err")));
        // Killed with the test even when the test itself dies (its watchdog, a crash).
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(QStringLiteral(SERVER_EXE), {});
        return process.waitForStarted(5000) && QTest::qWaitFor([&] {
            return err().contains("ORTVUDPTransceiver started @ port  1234\n")
                && readFile(QStringLiteral("out")).contains("Listen on port 8080\n");
        }, 5000);
    }
    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // What the server wrote to stderr so far, from byte `from` on.
    QByteArray err(qint64 from = 0) { return readFile(QStringLiteral("err"), from); }
    qint64 errSize() const { return QFileInfo(dir.filePath(QStringLiteral("err"))).size(); }

    QProcess process;

private:
    QByteArray readFile(const QString &name, qint64 from = 0)
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) && file.seek(from) ? file.readAll() : QByteArray();
    }
    QTemporaryDir dir;
};

} // namespace

class tst_HostileInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void datagrams_data();
    void datagrams();
    void tenThousandPeers();
    void manyKeys();
    void datagramFlood();
    void answersDuringFlood();
    void httpRequests_data();
    void httpRequests();
    void clientVanishesMidRequest();
    void slowRequest();
    void simultaneousConnections();
    void floodedRequests_data();
    void floodedRequests();
    void idleConnectionsAreClosed();
    void descriptorsRunOut_data();
    void descriptorsRunOut();

private:
    qint64 pid() const { return server.process.processId(); }
    bool waitForErr(const QString &prefix, qint64 from, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] {
            return QString::fromUtf8(server.err(from)).contains(prefix);
        }, timeoutMs);
    }

    Server server;
    int roundTrips = 0;
    qint64 baselineKb = 0;
    QElapsedTimer sinceIdleOpened;
    std::vector<std::unique_ptr<QTcpSocket>> idleClients;
};

void tst_HostileInput::initTestCase()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY(server.start());
    baselineKb = procStatusKb(pid(), "VmRSS");
    qInfo("server started: VmRSS %lld kB, %d descriptors", baselineKb, openDescriptors(pid()));
    // A thousand clients connect and say nothing; they stay open while the other cases run and
    // must not hinder them. idleConnectionsAreClosed() checks what became of them.
    for (int i = 0; i < 1000; ++i) {
        idleClients.push_back(std::make_unique<QTcpSocket>());
        idleClients.back()->connectToHost(QHostAddress::LocalHost, 8080);
    }
    for (const auto &client : idleClients)
        QVERIFY(client->waitForConnected(2000));
    sinceIdleOpened.start();
    QTRY_VERIFY_WITH_TIMEOUT(openDescriptors(pid()) >= 1000, 5000);
    qInfo("1000 idle connections: VmRSS %lld kB, %d descriptors", procStatusKb(pid(), "VmRSS"),
          openDescriptors(pid()));
}

void tst_HostileInput::cleanupTestCase()
{
    server.stop();
}

// The server's health after every case.
void tst_HostileInput::cleanup()
{
    QCOMPARE(server.process.state(), QProcess::Running);
    const QByteArray status = httpExchange(getStatus);
    QVERIFY2(status.startsWith("HTTP/1.1 200 OK\r\n") && status.endsWith(statusBody),
             status.left(200).constData());

    UdpClient client;
    const QByteArray key = "health." + QByteArray::number(++roundTrips);
    client.send(R"({"cmd":"SetData","url":")" + key + R"(","data":"ok"})");
    client.send(R"({"cmd":"ReadData","url":")" + key + R"("})");
    QCOMPARE(client.receive(), R"({"data":"ok","url":")" + key + R"("})");

    const qint64 rss = procStatusKb(pid(), "VmRSS");
    QVERIFY2(rss > 0 && rss < rssLimitKb,
             qPrintable(QStringLiteral("VmRSS %1 kB, limit %2 kB").arg(rss).arg(rssLimitKb)));
}

void tst_HostileInput::datagrams_data()
{
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<QByteArray>("readUrl");   // a ReadData for this url follows, when set
    QTest::addColumn<QByteArray>("expected");  // ... and must be answered so

    const QByteArray setHead = R"({"cmd":"SetData","url":"big","data":")";
    const QByteArray largest = setHead + QByteArray(65507 - setHead.size() - 2, 'v') + "\"}";
    QTest::newRow("largest datagram, a value")
        << QByteArrayList{largest} << QByteArray("big")
        << R"({"data":")" + QByteArray(65507 - setHead.size() - 2, 'v') + R"(","url":"big"})";
    QTest::newRow("largest datagram, not JSON")
        << QByteArrayList{QByteArray(65507, '\x01')} << QByteArray() << QByteArray();
    QTest::newRow("arrays nested 10000 deep")
        << QByteArrayList{QByteArray(10000, '[') + QByteArray(10000, ']')} << QByteArray()
        << QByteArray();
    QByteArray objects;
    for (int i = 0; i < 10000; ++i)
        objects += R"({"a":)";
    objects += "1" + QByteArray(10000, '}');
    QTest::newRow("objects nested 10000 deep") << QByteArrayList{objects} << QByteArray()
                                                << QByteArray();
    QTest::newRow("commands nested 10000 deep")
        << QByteArrayList{QByteArray(10000, '[') + R"({"cmd":"SetData","url":"deep","data":"x"})"
                          + QByteArray(10000, ']')}
        << QByteArray("deep") << QByteArray(R"({"data":"","url":"deep"})");
    QTest::newRow("invalid UTF-8 in key and value")
        << QByteArrayList{"{\"cmd\":\"SetData\",\"url\":\"bad\xff\xfe\xc3(\",\"data\":\"\xc0\xaf\xed\xa0\x80\"}"}
        << QByteArray() << QByteArray();
    static const char rawNul[] = "{\"cmd\":\"SetData\",\"url\":\"n\0l\",\"data\":\"v\0\"}";
    QTest::newRow("raw NUL bytes in key and value")
        << QByteArrayList{QByteArray(rawNul, sizeof rawNul - 1)}
        << QByteArray(R"(n\u0000l)") << QByteArray(R"({"data":"v\u0000","url":"n\u0000l"})");
    QTest::newRow("escaped NUL in key and value")
        << QByteArrayList{R"({"cmd":"SetData","url":"nul\u0000key","data":"v\u0000x"})"}
        << QByteArray(R"(nul\u0000key)") << QByteArray(R"({"data":"v\u0000x","url":"nul\u0000key"})");
    QTest::newRow("lone surrogates")
        << QByteArrayList{R"({"cmd":"SetData","url":"sur\ud800","data":"\udc00"})"}
        << QByteArray() << QByteArray();
    const QByteArray longUrl(60 * 1024, 'u');
    QTest::newRow("url of 60 KB")
        << QByteArrayList{R"({"cmd":"SetData","url":")" + longUrl + R"(","data":"long"})"}
        << longUrl << R"({"data":"long","url":")" + longUrl + R"("})";
    QTest::newRow("empty datagram") << QByteArrayList{QByteArray()} << QByteArray()
                                    << QByteArray();
    QTest::newRow("thousand commands in one datagram")
        << QByteArrayList{"[" + QByteArrayList(1000, R"({"cmd":"ReadData","url":"none"})").join(',')
                          + "]"}
        << QByteArray() << QByteArray();
}

void tst_HostileInput::datagrams()
{
    QFETCH(QByteArrayList, payloads);
    QFETCH(QByteArray, readUrl);
    QFETCH(QByteArray, expected);

    UdpClient client;
    for (const QByteArray &payload : payloads) {
        const qint64 mark = server.errSize();
        QCOMPARE(client.socket.writeDatagram(payload, QHostAddress::LocalHost, 1234),
                 payload.size());
        // The RX line is the last one written for a datagram: it was dealt with.
        QVERIFY(waitForErr(client.rxLine(), mark));
    }
    // Replies to the hostile datagrams themselves are not examined, only dropped.
    while (client.socket.hasPendingDatagrams() || client.socket.waitForReadyRead(200))
        client.socket.receiveDatagram();
    if (!readUrl.isEmpty()) {
        client.send(R"({"cmd":"ReadData","url":")" + readUrl + R"("})");
        QCOMPARE(client.receive(), expected);
    }
    // The store still reads out as JSON.
    const QByteArray data = httpExchange("GET /Data HTTP/1.1\r\nHost: x\r\n\r\n");
    const qsizetype body = data.indexOf("\r\n\r\n");
    QVERIFY(data.startsWith("HTTP/1.1 200 OK"));
    QJsonParseError error;
    QJsonDocument::fromJson(data.mid(body + 4), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void tst_HostileInput::tenThousandPeers()
{
    // Every endpoint that sends becomes a peer for good. Ten thousand source ports (fixed ones,
    // below the ephemeral range: a closed socket's port could come back), a hundred at a time
    // (the server's receive buffer holds about that many datagrams at once); each asks for a
    // value and must be answered.
    constexpr int peers = 10000;
    constexpr int batch = 100;
    const qint64 mark = server.errSize();
    const qint64 rssBefore = procStatusKb(pid(), "VmRSS");
    const qint64 cpuBefore = cpuMs(pid());
    QElapsedTimer clock;
    clock.start();
    int answered = 0;
    for (int first = 0; first < peers; first += batch) {
        std::vector<std::unique_ptr<UdpClient>> clients;
        for (int i = 0; i < batch; ++i) {
            clients.push_back(std::make_unique<UdpClient>(quint16(20000 + first + i)));
            QCOMPARE(clients.back()->socket.state(), QAbstractSocket::BoundState);
            clients.back()->send(R"({"cmd":"ReadData","url":"peer"})");
        }
        for (const auto &client : clients)
            answered += client->receive() == R"({"data":"","url":"peer"})";
        QVERIFY2(clock.elapsed() < 60000, "ten thousand peers took too long");
    }
    QCOMPARE(answered, peers);
    QTRY_COMPARE(int(server.err(mark).count("New Peer added to list:")), peers);
    const qint64 cpu = cpuMs(pid()) - cpuBefore;
    const qint64 rss = procStatusKb(pid(), "VmRSS") - rssBefore;
    qInfo("%d peers in %lld ms: server CPU %lld ms (%.1f us per datagram), VmRSS +%lld kB",
          peers, clock.elapsed(), cpu, cpu * 1000.0 / peers, rss);
}

void tst_HostileInput::manyKeys()
{
    // The store grows by design. Two thousand keys of 60 bytes with 50-byte values, fifty to a
    // datagram; the whole store is logged after every write, so each write costs more as it grows.
    constexpr int keys = 2000;
    constexpr int perDatagram = 50;
    const auto keyName = [](int i) { return "many." + QByteArray::number(i).rightJustified(55, '0'); };
    const QByteArray value(50, 'v');
    UdpClient client;
    const qint64 rssBefore = procStatusKb(pid(), "VmRSS");
    const qint64 cpuBefore = cpuMs(pid());
    for (int first = 0; first < keys; first += perDatagram) {
        QByteArrayList commands;
        for (int i = first; i < first + perDatagram; ++i)
            commands << R"({"cmd":"SetData","url":")" + keyName(i) + R"(","data":")" + value + "\"}";
        const qint64 mark = server.errSize();
        client.send("[" + commands.join(',') + "]");
        QVERIFY(waitForErr(client.rxLine(), mark, 10000));
    }
    const qint64 rss = procStatusKb(pid(), "VmRSS") - rssBefore;
    const qint64 cpuFill = cpuMs(pid()) - cpuBefore;

    // A hundred more single writes with the store full.
    const qint64 cpuBeforeWrites = cpuMs(pid());
    for (int i = 0; i < 100; ++i) {
        const qint64 mark = server.errSize();
        client.send(R"({"cmd":"SetData","url":")" + keyName(i) + R"(","data":"again"})");
        QVERIFY(waitForErr(client.rxLine(), mark, 10000));
    }
    const qint64 cpuWrites = cpuMs(pid()) - cpuBeforeWrites;
    qInfo("%d keys: VmRSS +%lld kB (%lld bytes per key), filling took %lld ms of server CPU, "
          "one write with the store full %.1f ms", keys, rss, rss * 1024 / keys, cpuFill,
          cpuWrites / 100.0);

    client.send(R"({"cmd":"ReadData","url":")" + keyName(keys - 1) + R"("})");
    QCOMPARE(client.receive(), R"({"data":")" + value + R"(","url":")" + keyName(keys - 1) + R"("})");
}

void tst_HostileInput::datagramFlood()
{
    // Twenty thousand ReadData datagrams as fast as one socket sends them: what does not fit in
    // the server's receive buffer while it handles the rest is dropped by the kernel; the server
    // keeps up with what it gets and answers everything after.
    constexpr int datagrams = 20000;
    UdpClient client;
    const qint64 mark = server.errSize();
    const QByteArray payload = R"({"cmd":"ReadData","url":"flood"})";
    int sent = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < datagrams; ++i) {
        sent += client.socket.writeDatagram(payload, QHostAddress::LocalHost, 1234) == payload.size();
        // The client's own receive buffer fills with replies; empty it now and then.
        if (i % 500 == 0) {
            while (client.socket.hasPendingDatagrams())
                client.socket.receiveDatagram();
        }
    }
    const qint64 sendMs = clock.elapsed();
    // The last datagram the server took is logged within a moment; count them all then.
    QVERIFY(waitForErr(client.rxLine(), mark));
    // Counted once no new RX line came for 300 ms (the server sleeps 10 ms between passes).
    int handled = 0;
    QElapsedTimer sinceChange;
    sinceChange.start();
    QVERIFY(QTest::qWaitFor([&] {
        const int now = int(server.err(mark).count(client.rxLine().toUtf8()));
        if (now != handled) {
            handled = now;
            sinceChange.restart();
        }
        return sinceChange.elapsed() >= 300;
    }, 60000)); // a sanitized server under load takes its time over 20000 log lines
    qInfo("%d of %d datagrams sent in %lld ms were handled", handled, sent, sendMs);
    QVERIFY(handled > 0 && handled <= sent);
}

// Datagrams sent without pause from another thread, faster than the server handles them: the
// receive loop must still leave each event pass to HTTP. (ReadData: a SetData would log the
// whole store, which the cases before filled.)
void tst_HostileInput::answersDuringFlood()
{
    std::atomic<bool> flooding{true};
    std::atomic<qint64> floodSent{0};
    std::thread flooder([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(1234);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char payload[] = R"({"cmd":"ReadData","url":"flood"})";
        while (flooding) {
            floodSent += ::sendto(fd, payload, sizeof payload - 1, 0,
                                  reinterpret_cast<const sockaddr *>(&to), sizeof to) > 0;
        }
        ::close(fd);
    });
    // Stops the flood, then waits until the server has handled the backlog in its socket's
    // buffer (its log has not grown for 300 ms; a sanitized server takes seconds), so the next
    // health check is not lost in it, whether this case passed or not.
    const auto stopFlood = qScopeGuard([&] {
        flooding = false;
        if (flooder.joinable())
            flooder.join();
        qint64 size = -1;
        QElapsedTimer sinceChange;
        sinceChange.start();
        const bool settled = QTest::qWaitFor([&] {
            if (server.errSize() != size) {
                size = server.errSize();
                sinceChange.restart();
            }
            return sinceChange.elapsed() >= 300;
        }, 60000);
        if (!settled)
            qWarning("the server's log still grew 60 s after the flood");
    });
    // Under way: some 20,000 RX lines logged, the socket's buffer full behind them.
    const qint64 mark = server.errSize();
    QTRY_VERIFY_WITH_TIMEOUT(server.errSize() > mark + 2000000, 20000 * TEST_TIME_SCALE);

    qint64 slowestMs = 0;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray status = httpExchange(getStatus, 5000 * TEST_TIME_SCALE);
        QVERIFY2(status.startsWith("HTTP/1.1 200 OK\r\n") && status.endsWith(statusBody),
                 status.left(200).constData());
        slowestMs = qMax(slowestMs, clock.elapsed());
    }
    qInfo("during a flood (%lld datagrams sent so far): slowest /Status %lld ms",
          qint64(floodSent), slowestMs);
}

void tst_HostileInput::httpRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answerStart"); // empty: the server closes without answering

    QTest::newRow("garbage request line") << QByteArray("\x01\xff garbage \x7f\r\n\r\n")
                                          << QByteArray();
    QTest::newRow("unknown method") << QByteArray("BREW /Status HTTP/1.1\r\nHost: x\r\n\r\n")
                                    << QByteArray("HTTP/1.1 404 Not Found\r\n");
    QTest::newRow("header of 1 MiB")
        << "GET /Status HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(1024 * 1024, 'h')
               + "\r\n\r\n"
        << QByteArray("HTTP/1.1 200 OK\r\n");
    QTest::newRow("100000 headers")
        << "GET /Status HTTP/1.1\r\nHost: x\r\n" + QByteArray("X: y\r\n").repeated(100000) + "\r\n"
        << QByteArray("HTTP/1.1 200 OK\r\n");
    QTest::newRow("target of 1 MiB") << "GET /" + QByteArray(1024 * 1024, 't') + " HTTP/1.1\r\n\r\n"
                                     << QByteArray("HTTP/1.1 404 Not Found\r\n");
}

void tst_HostileInput::httpRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answerStart);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    QVERIFY(socket.waitForConnected(2000));
    socket.write(request);
    QByteArray got;
    QVERIFY(QTest::qWaitFor([&] {
        socket.waitForReadyRead(20);
        if (socket.isOpen())
            got += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState
            || (!answerStart.isEmpty() && got.contains("\r\n\r\n"));
    }, 10000));
    if (answerStart.isEmpty())
        QCOMPARE(got, QByteArray());
    else
        QVERIFY2(got.startsWith(answerStart), got.left(100).constData());
}

void tst_HostileInput::clientVanishesMidRequest()
{
    const int before = openDescriptors(pid());
    QSet<quint16> clientPorts;
    for (int i = 0; i < 50; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, 8080);
        QVERIFY(socket.waitForConnected(2000));
        clientPorts.insert(socket.localPort());
        socket.write(i % 2 ? QByteArray("GET /Sta") : QByteArray("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc"));
        QVERIFY(socket.waitForBytesWritten(2000));
        if (i % 3)
            socket.abort();
    }
    // The server lets go of every one of them: none of their connections is left on its side
    // (a socket the server has not closed stays ESTABLISHED or CLOSE_WAIT).
    QTRY_COMPARE_WITH_TIMEOUT(serverSideOf(clientPorts), QStringList(), 15000);
    // ... and has closed their descriptors (a socket reset by its client leaves the kernel's
    // table at once, its descriptor only when the server closes it).
    QTRY_VERIFY2_WITH_TIMEOUT(openDescriptors(pid()) <= before,
                              qPrintable(QStringLiteral("%1 descriptors, %2 before: %3")
                                             .arg(openDescriptors(pid())).arg(before)
                                             .arg(descriptorTargets(pid()))),
                              15000);
}

void tst_HostileInput::slowRequest()
{
    // One request in 60 writes, 20 ms apart.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    QVERIFY(socket.waitForConnected(2000));
    const QByteArray request = "GET /Status HTTP/1.1\r\nHost: a.slow.client\r\nX-Pad: 123456\r\n\r\n";
    const qsizetype step = request.size() / 60 + 1;
    for (qsizetype at = 0; at < request.size(); at += step) {
        socket.write(request.mid(at, step));
        socket.waitForBytesWritten(1000);
        // Nothing comes back before the request is whole.
        if (at + step < request.size())
            QVERIFY(!socket.waitForReadyRead(20));
    }
    QByteArray got;
    QVERIFY(QTest::qWaitFor([&] {
        socket.waitForReadyRead(20);
        got += socket.readAll();
        return got.endsWith(statusBody);
    }, 3000));
    QVERIFY(got.startsWith("HTTP/1.1 200 OK\r\n"));
}

void tst_HostileInput::simultaneousConnections()
{
    constexpr int clients = 500;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < clients; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, 8080);
    }
    for (const auto &socket : sockets) {
        QVERIFY(socket->waitForConnected(5000));
        socket->write(getStatus);
    }
    int answered = 0;
    for (const auto &socket : sockets) {
        QByteArray got;
        const bool whole = QTest::qWaitFor([&] {
            socket->waitForReadyRead(20);
            got += socket->readAll();
            return got.endsWith(statusBody);
        }, 5000);
        answered += whole && got.startsWith("HTTP/1.1 200 OK\r\n");
    }
    QCOMPARE(answered, clients);
}

void tst_HostileInput::floodedRequests_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("200 MB body with its length")
        << QByteArray("POST /Status HTTP/1.1\r\nHost: x\r\nContent-Length: 209715200\r\n\r\n");
    QTest::newRow("200 MB body without a length")
        << QByteArray("POST /Status HTTP/1.1\r\nHost: x\r\n\r\n");
    QTest::newRow("endless header") << QByteArray("GET /Status HTTP/1.1\r\nHost: x\r\nX-Endless: ");
}

void tst_HostileInput::floodedRequests()
{
    QFETCH(QByteArray, head);

    constexpr qint64 flood = 200 * 1024 * 1024;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    QVERIFY(socket.waitForConnected(2000));
    const qint64 rssBefore = procStatusKb(pid(), "VmRSS");
    const qint64 sent = pour(socket, head, flood, 20000);
    const qint64 rssPeak = procStatusKb(pid(), "VmRSS");
    qInfo("sent %lld kB before the server closed the connection; VmRSS %lld -> %lld kB",
          sent / 1024, rssBefore, rssPeak);
    // The server closed the connection long before the 200 MB were through: it took the
    // request limit, plus what the kernel buffers on both sides hold (over 10 MB on loopback).
    // The emulated server, slower to act on its guard, has let up to 38 MB through in a chroot.
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    const qint64 bound = (TEST_TIME_SCALE > 1 ? 16 : 8) * requestLimit;
    QVERIFY2(sent < bound, qPrintable(QString::number(sent)));
}

void tst_HostileInput::idleConnectionsAreClosed()
{
    // The thousand silent clients of initTestCase were not closed before the idle limit ...
    const qint64 openedFor = sinceIdleOpened.elapsed();
    if (openedFor < idleLimitMs - 2000) {
        int open = 0;
        for (const auto &client : idleClients) {
            client->waitForReadyRead(0);
            open += client->state() == QAbstractSocket::ConnectedState;
        }
        QCOMPARE(open, int(idleClients.size()));
    }
    // ... and all are closed by the server soon after it.
    const auto closedByServer = [&] {
        int closed = 0;
        for (const auto &client : idleClients) {
            client->waitForReadyRead(0);
            closed += client->state() == QAbstractSocket::UnconnectedState;
        }
        return closed;
    };
    QTRY_COMPARE_WITH_TIMEOUT(closedByServer(), int(idleClients.size()),
                              int(idleLimitMs + 5000 - qMin<qint64>(openedFor, idleLimitMs)));
    QVERIFY(sinceIdleOpened.elapsed() >= idleLimitMs);
    idleClients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(openDescriptors(pid()) < 50, 5000);
}

void tst_HostileInput::descriptorsRunOut_data()
{
    QTest::addColumn<bool>("clientsLeaveWhenAnswered");
    QTest::newRow("clients stay until all are done") << false;
    QTest::newRow("clients leave when answered") << true;
}

void tst_HostileInput::descriptorsRunOut()
{
    QFETCH(bool, clientsLeaveWhenAnswered);

    // The server may hold 64 descriptors; 150 clients connect at once, each with one request.
    constexpr int limit = 64;
    constexpr int clients = 150;
    rlimit low{limit, limit};
    rlimit saved{};
    QVERIFY(prlimit(pid_t(pid()), RLIMIT_NOFILE, &low, &saved) == 0);
    auto restore = qScopeGuard([&] { prlimit(pid_t(pid()), RLIMIT_NOFILE, &saved, nullptr); });

    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < clients; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, 8080);
    }
    for (const auto &socket : sockets) {
        QVERIFY(socket->waitForConnected(5000)); // the kernel's queue takes them all
        socket->write(getStatus);
        socket->flush();
    }
    std::vector<QByteArray> got(clients);
    const auto answered = [&] {
        int count = 0;
        for (int i = 0; i < clients; ++i) {
            QTcpSocket &socket = *sockets[i];
            if (socket.isOpen()) {
                socket.waitForReadyRead(0);
                got[i] += socket.readAll();
            }
            if (got[i].endsWith(statusBody)) {
                ++count;
                if (clientsLeaveWhenAnswered)
                    socket.close();
            }
        }
        return count;
    };
    // The server answers as many as it can hold ...
    QVERIFY(QTest::qWaitFor([&] { return answered() > 0; }, 5000));
    if (clientsLeaveWhenAnswered) {
        // ... and, as answered clients leave, takes the next ones, all under the low limit.
        QTRY_COMPARE_WITH_TIMEOUT(answered(), clients, 20000);
    } else {
        // ... leaves the others waiting ...
        QVERIFY(!QTest::qWaitFor([&] { return answered() == clients; }, 1000));
        qInfo("%d of %d clients answered with %d descriptors", answered(), clients, limit);
        QCOMPARE(server.process.state(), QProcess::Running);
        // ... and, when they all leave, accepts and answers again, still under the low limit.
        sockets.clear();
        QTRY_VERIFY_WITH_TIMEOUT(httpExchange(getStatus, 500).endsWith(statusBody), 10000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(openDescriptors(pid()) < limit, 5000);
}

QTEST_GUILESS_MAIN(tst_HostileInput)
#include "tst_hostileinput.moc"
