// The HTTP connection guard in front of a real QHttpServer on ephemeral loopback ports, with
// short limits. A second, unguarded server gives the answers the guard must leave alone.
#include "ORTVHttpConnectionGuard.h"

#include <QDir>
#include <QHttpServer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>

#include <memory>
#include <vector>

namespace {

constexpr int idleMs = 400;
constexpr qint64 maxRequest = 64 * 1024;

struct Server
{
    explicit Server(bool guarded)
    {
        http.route(QStringLiteral("/Status"), [] { return QStringLiteral("fine"); });
        http.route(QStringLiteral("/"), [] { return QStringLiteral("root"); });
        tcp = new QTcpServer(&http);
        if (guarded)
            guard = new ORTVHttpConnectionGuard(tcp, {idleMs, maxRequest, 20});
        tcp->listen(QHostAddress::LocalHost, 0);
        http.bind(tcp);
    }
    quint16 port() const { return tcp->serverPort(); }

    QHttpServer http;
    QTcpServer *tcp = nullptr;
    ORTVHttpConnectionGuard *guard = nullptr;
};

// How many whole responses (head plus Content-Length bytes of body) `data` holds.
int completeResponses(const QByteArray &data)
{
    int count = 0;
    qsizetype at = 0;
    for (;;) {
        const qsizetype headEnd = data.indexOf("\r\n\r\n", at);
        if (headEnd < 0)
            return count;
        const QByteArray head = data.mid(at, headEnd - at).toLower();
        const qsizetype length = head.indexOf("content-length:");
        const qsizetype lineEnd = head.indexOf("\r\n", length);
        const qint64 bodySize = length < 0 ? 0
            : head.mid(length + 15, lineEnd < 0 ? -1 : lineEnd - length - 15).trimmed().toLongLong();
        if (data.size() < headEnd + 4 + bodySize)
            return count;
        at = headEnd + 4 + bodySize;
        ++count;
    }
}

struct Exchange
{
    QByteArray received;
    bool closedByServer = false;
};

// Sends the pieces with `gapMs` between them (a slow client), then collects `responses`
// answers or waits until the server closes the connection.
Exchange exchange(quint16 port, const QByteArrayList &pieces, int gapMs, int responses)
{
    Exchange result;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 2000))
        return result;
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        if (gapMs > 0)
            QTest::qWait(gapMs); // pacing the slow client; the server runs meanwhile
    }
    // A socket the server closed is closed here too, and holds nothing more to read.
    const auto collect = [&] {
        if (socket.isOpen())
            result.received += socket.readAll();
    };
    result.closedByServer = QTest::qWaitFor([&] {
        collect();
        return completeResponses(result.received) >= responses
            || socket.state() == QAbstractSocket::UnconnectedState;
    }, 5000) && socket.state() == QAbstractSocket::UnconnectedState;
    collect();
    return result;
}

const QByteArray getStatus = "GET /Status HTTP/1.1\r\nHost: x\r\n\r\n";

QByteArrayList split(const QByteArray &whole, int pieces)
{
    QByteArrayList out;
    const qsizetype step = (whole.size() + pieces - 1) / pieces;
    for (qsizetype at = 0; at < whole.size(); at += step)
        out << whole.mid(at, step);
    return out;
}

int openDescriptors()
{
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return int(fds.size()) - 1; // the listing's own descriptor is gone again
}

} // namespace

class tst_HttpConnectionGuard : public QObject
{
    Q_OBJECT

private slots:
    void wellFormedAnswersUnchanged_data();
    void wellFormedAnswersUnchanged();
    void closesHostileConnections_data();
    void closesHostileConnections();
    void forgetsClosedConnections();
    void acceptsAgainAfterRunningOutOfDescriptors();
};

void tst_HttpConnectionGuard::wellFormedAnswersUnchanged_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("responses");

    QTest::newRow("one request") << QByteArrayList{getStatus} << 0 << 1;
    QTest::newRow("pipelined") << QByteArrayList{getStatus + "GET / HTTP/1.1\r\nHost: x\r\n\r\n"
                                                 + getStatus} << 0 << 3;
    // Every gap is shorter than the idle limit; the whole request takes three times longer.
    QTest::newRow("slow writes") << split(getStatus, 12) << idleMs / 4 << 1;
    QTest::newRow("keep-alive pause")
        << QByteArrayList{getStatus, getStatus} << idleMs / 2 << 2;
    QTest::newRow("header just under the limit")
        << QByteArrayList{"GET /Status HTTP/1.1\r\nHost: x\r\nX-Pad: "
                          + QByteArray(maxRequest - 100, 'p') + "\r\n\r\n"} << 0 << 1;
    QTest::newRow("body just under the limit")
        << QByteArrayList{"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: "
                          + QByteArray::number(maxRequest - 200) + "\r\n\r\n"
                          + QByteArray(maxRequest - 200, 'b')} << 0 << 1;
    QTest::newRow("unknown path") << QByteArrayList{"GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"}
                                  << 0 << 1;
}

void tst_HttpConnectionGuard::wellFormedAnswersUnchanged()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, gapMs);
    QFETCH(int, responses);

    Server reference(false);
    Server guarded(true);
    QSignalSpy closing(guarded.guard, &ORTVHttpConnectionGuard::closingConnection);
    const Exchange expected = exchange(reference.port(), pieces, gapMs, responses);
    QCOMPARE(completeResponses(expected.received), responses);
    const Exchange got = exchange(guarded.port(), pieces, gapMs, responses);
    QCOMPARE(got.received, expected.received);
    QVERIFY(!got.closedByServer);
    QCOMPARE(closing.size(), 0);
}

void tst_HttpConnectionGuard::closesHostileConnections_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<ORTVHttpConnectionGuard::Reason>("reason");

    using Reason = ORTVHttpConnectionGuard::Reason;
    const QByteArrayList flood(16, QByteArray(16 * 1024, 'a'));
    QTest::newRow("connects, sends nothing") << QByteArrayList{} << Reason::Idle;
    QTest::newRow("request stops half-way")
        << QByteArrayList{"GET /Status HTTP/1.1\r\nHo"} << Reason::Idle;
    QTest::newRow("endless header")
        << (QByteArrayList{"GET /Status HTTP/1.1\r\nHost: x\r\nX-Endless: "} + flood)
        << Reason::Oversized;
    QTest::newRow("endless request line") << (QByteArrayList{"GET /"} + flood)
                                          << Reason::Oversized;
    QTest::newRow("body beyond the limit, with its length")
        << (QByteArrayList{"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 209715200\r\n\r\n"}
            + flood) << Reason::Oversized;
    // Without a length the body is read as the next request, whose line never ends.
    QTest::newRow("body beyond the limit, no length")
        << (QByteArrayList{"POST / HTTP/1.1\r\nHost: x\r\n\r\n"} + flood + flood)
        << Reason::Oversized;
}

void tst_HttpConnectionGuard::closesHostileConnections()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(ORTVHttpConnectionGuard::Reason, reason);

    Server server(true);
    QSignalSpy closing(server.guard, &ORTVHttpConnectionGuard::closingConnection);
    QElapsedTimer clock;
    clock.start();
    // None of these ever gets a second answer: wait until the connection is closed.
    const Exchange hostile = exchange(server.port(), pieces, 0, 2);
    QVERIFY(hostile.closedByServer);
    QCOMPARE(closing.size(), 1);
    QCOMPARE(closing.at(0).at(0).value<ORTVHttpConnectionGuard::Reason>(), reason);
    if (reason == ORTVHttpConnectionGuard::Reason::Idle)
        QVERIFY2(clock.elapsed() >= idleMs, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(server.guard->watchedConnections(), 0);

    // The server answers the next client as before.
    const Exchange next = exchange(server.port(), {getStatus}, 0, 1);
    QVERIFY(next.received.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(next.received.endsWith("fine"));
}

void tst_HttpConnectionGuard::forgetsClosedConnections()
{
    Server server(true);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, server.port());
        // Half of them go away in the middle of a request.
        if (i % 2)
            clients.back()->write("GET /Sta");
    }
    QTRY_COMPARE(server.guard->watchedConnections(), 20);
    clients.clear();
    QTRY_COMPARE(server.guard->watchedConnections(), 0);
}

void tst_HttpConnectionGuard::acceptsAgainAfterRunningOutOfDescriptors()
{
    Server server(true);
    QSignalSpy acceptErrors(server.tcp, &QTcpServer::acceptError);

    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &saved) == 0);
    auto restore = qScopeGuard([&] { setrlimit(RLIMIT_NOFILE, &saved); });
    rlimit low = saved;
    low.rlim_cur = rlim_t(openDescriptors() + 6);
    QVERIFY(setrlimit(RLIMIT_NOFILE, &low) == 0);

    // Clients take every free descriptor before the server gets to accept (a connection to a
    // literal address is made at once): their connections wait in the listen queue.
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, server.port());
        if (clients.back()->state() == QAbstractSocket::UnconnectedState)
            break;
    }
    QVERIFY(clients.size() >= 2);
    // Not QSignalSpy::wait(): UBSan's type checks, in the sanitized build, need a descriptor of
    // their own the first time they meet a type (QEventLoop there).
    QVERIFY(QTest::qWaitFor([&] { return !acceptErrors.isEmpty(); }, 2000));
    QCOMPARE(acceptErrors.at(0).at(0).value<QAbstractSocket::SocketError>(),
             QAbstractSocket::SocketResourceError);

    // The clients leave and free their descriptors: the listener must take connections again
    // by itself, still under the low limit.
    clients.clear();
    const Exchange after = exchange(server.port(), {getStatus}, 0, 1);
    QVERIFY2(after.received.endsWith("fine"), after.received.constData());
}

QTEST_GUILESS_MAIN(tst_HttpConnectionGuard)
#include "tst_httpconnectionguard.moc"
