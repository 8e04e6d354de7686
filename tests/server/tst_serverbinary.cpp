// The real server as a black box. Runs in a private network namespace, so the fixed ports 8080
// and 1234 are its own.
#include "ServerProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QTest>
#include <QTimeZone>
#include <QUdpSocket>

#include <csignal>

namespace {

const QByteArray banner = "Orvane Tarvic NG Main Data Server Starting ...\n";
const QByteArray portLine = "Listen on port 8080\n";

struct HttpReply
{
    int status = 0;
    QByteArray headers;
    QByteArray body;
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : headers.split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// One request on a fresh connection; reads the head and Content-Length bytes of body.
HttpReply http(const QByteArray &method, const QByteArray &target)
{
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    if (!socket.waitForConnected(2000))
        return reply;
    socket.write(method + ' ' + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    qsizetype headEnd = -1;
    qsizetype wanted = -1;
    while (clock.elapsed() < 3000 * TEST_TIME_SCALE) {
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            reply.headers = data.left(headEnd);
            reply.status = data.mid(9, 3).toInt();
            wanted = method == "HEAD" ? 0 : reply.header("Content-Length").toLongLong();
        }
        if (headEnd >= 0 && data.size() - headEnd - 4 >= wanted)
            break;
        if (!socket.waitForReadyRead(200) && socket.state() != QAbstractSocket::ConnectedState)
            break;
        data += socket.readAll();
    }
    if (headEnd >= 0)
        reply.body = data.mid(headEnd + 4);
    return reply;
}

class Client
{
public:
    Client() { socket.bind(QHostAddress::LocalHost, 0); }
    quint16 port() const { return socket.localPort(); }
    QString endpoint() const { return QStringLiteral("\"127.0.0.1\" : %1").arg(port()); }
    void send(const QByteArray &payload)
    {
        socket.writeDatagram(payload, QHostAddress::LocalHost, 1234);
    }
    QByteArray receive(int timeoutMs = 2000)
    {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(timeoutMs))
            return {};
        return socket.receiveDatagram().data();
    }
    QNetworkDatagram receiveDatagram(int timeoutMs = 2000)
    {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(timeoutMs))
            return {};
        return socket.receiveDatagram();
    }
    bool quiet(int ms = 300) { return !socket.hasPendingDatagrams() && !socket.waitForReadyRead(ms); }

    QUdpSocket socket;
};

} // namespace

class tst_ServerBinary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startupOutput();
    void singleThread();
    void routes_data();
    void routes();
    void headAnswersLikeGet_data();
    void headAnswersLikeGet();
    void roundTrips_data();
    void roundTrips();
    void arrayAnsweredInOrder();
    void clientsGetTheirOwnReplies();
    void nothingBackForIgnoredCommands_data();
    void nothingBackForIgnoredCommands();
    void logLinesOfOneDatagram();
    void dataRouteListsEveryKey();
    void failsWhenPortIsTaken();
    void keepAliveAfter29Seconds();
    void reloadKeepsStoreAndPeers();

private:
    QString rulesPath() const { return rulesDir.filePath(QStringLiteral("logging.ini")); }
    bool writeRules(const QByteArray &rules)
    {
        QFile file(rulesPath());
        return file.open(QIODevice::WriteOnly) && file.write("[Rules]\n" + rules + '\n') > 0;
    }

    // Stderr lines written since `mark` (a byte offset into the captured stderr).
    QStringList errLinesSince(qsizetype mark)
    {
        return QString::fromUtf8(server.err().mid(mark)).split('\n', Qt::SkipEmptyParts);
    }
    qsizetype errMark() { return server.err().size(); }
    bool waitForErrLine(qsizetype mark, const QString &prefix)
    {
        return QTest::qWaitFor([&] {
            const QStringList lines = errLinesSince(mark);
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QString &l) { return l.startsWith(prefix); });
        }, 3000);
    }
    QJsonObject data()
    {
        return QJsonDocument::fromJson(http("GET", "/Data").body).object();
    }

    ServerProcess server;
    QTemporaryDir rulesDir;
    QElapsedTimer sinceStart;
    qint64 upAt = 0; // when both sides were seen up, on the sinceStart clock
};

void tst_ServerBinary::initTestCase()
{
    // Started with a rules file that leaves the debug lines on, as they are without one.
    QVERIFY(writeRules(""));
    QProcessEnvironment environment = server.process.processEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_CONF"), rulesPath());
    server.process.setProcessEnvironment(environment);
    sinceStart.start();
    QVERIFY(server.start());
    upAt = sinceStart.elapsed();
}

void tst_ServerBinary::cleanupTestCase()
{
    server.stop();
}

void tst_ServerBinary::startupOutput()
{
    // Both console lines are flushed as they are written, so they show while the server runs.
    QCOMPARE(server.process.state(), QProcess::Running);
    QCOMPARE(server.out(), banner + portLine);
    QCOMPARE(errLinesSince(0).value(0), QStringLiteral("ORTVUDPTransceiver started @ port  1234"));
}

void tst_ServerBinary::singleThread()
{
    QFile status(QStringLiteral("/proc/%1/status").arg(server.process.processId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    // Under an emulator the process also holds the emulator's own helper threads.
    const QByteArray threads = "\nThreads:\t" + QByteArray::number(1 + SERVER_HELPER_THREADS) + '\n';
    QVERIFY2(text.contains(threads), text.constData());
}

void tst_ServerBinary::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QByteArray status = R"({"message":"Current Server status","status":"success"})";
    QTest::newRow("GET /") << QByteArray("GET") << QByteArray("/") << 200
                           << QByteArray("text/plain") << QByteArray("Orvane Tarvic");
    QTest::newRow("POST /") << QByteArray("POST") << QByteArray("/") << 200
                            << QByteArray("text/plain") << QByteArray("Orvane Tarvic");
    for (const char *method : {"GET", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"})
        QTest::addRow("%s /Status", method) << QByteArray(method) << QByteArray("/Status") << 200
                                            << QByteArray("application/json") << status;
    QTest::newRow("query ignored") << QByteArray("GET") << QByteArray("/Status?x=1") << 200
                                   << QByteArray("application/json") << status;
    for (const char *path : {"/status", "/Status/", "/data", "/nothing", "/Data/x"})
        QTest::addRow("404 %s", path) << QByteArray("GET") << QByteArray(path) << 404
                                      << QByteArray() << QByteArray();
}

void tst_ServerBinary::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);

    const HttpReply reply = http(method, target);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.body, body);
    if (!contentType.isEmpty())
        QCOMPARE(reply.header("Content-Type"), contentType);
}

void tst_ServerBinary::headAnswersLikeGet_data()
{
    QTest::addColumn<QByteArray>("target");
    for (const char *target : {"/", "/Status", "/Data", "/nothing"})
        QTest::newRow(target) << QByteArray(target);
}

void tst_ServerBinary::headAnswersLikeGet()
{
    // The head of a HEAD answer is the GET answer's, Content-Length included, and no body
    // follows it: a second request on the same connection is answered right after that head.
    QFETCH(QByteArray, target);
    Client().send(R"({"cmd":"SetData","url":"head","data":"x"})");
    QTRY_VERIFY_WITH_TIMEOUT(http("GET", "/Data").body.contains(R"({"head":"x"})"),
                             3000 * TEST_TIME_SCALE);
    const HttpReply get = http("GET", target);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 8080);
    QVERIFY(socket.waitForConnected(2000));
    socket.write("HEAD " + target + " HTTP/1.1\r\nHost: x\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray data;
    QVERIFY(QTest::qWaitFor([&] {
        socket.waitForReadyRead(50);
        data += socket.readAll();
        return data.endsWith("Orvane Tarvic");
    }, 3000 * TEST_TIME_SCALE));
    HttpReply head;
    head.headers = data.left(data.indexOf("\r\n\r\n") + 4);
    QCOMPARE(data.indexOf("HTTP/1.1", 1), head.headers.size());
    QCOMPARE(head.headers.left(12), "HTTP/1.1 " + QByteArray::number(get.status));
    for (const QByteArray name : {"Content-Type", "Content-Length"})
        QCOMPARE(head.header(name), get.header(name));
    QCOMPARE(head.header("Content-Length").toLongLong(), get.body.size());
}

void tst_ServerBinary::roundTrips_data()
{
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QByteArrayList>("replies");

    QTest::newRow("string value")
        << QByteArrayList{R"({"cmd":"SetData","url":"rt.s","data":"hello"})",
                          R"({"cmd":"ReadData","url":"rt.s"})"}
        << QByteArrayList{R"({"data":"hello","url":"rt.s"})"};
    QTest::newRow("number value")
        << QByteArrayList{R"({"cmd":"SetData","url":"rt.n","data":1234567})",
                          R"({"cmd":"ReadData","url":"rt.n"})"}
        << QByteArrayList{R"({"data":"1.23457e+06","url":"rt.n"})"};
    QTest::newRow("key set twice")
        << QByteArrayList{R"({"cmd":"SetData","url":"rt.t","data":"1"})",
                          R"({"cmd":"SetData","url":"rt.t","data":"2"})",
                          R"({"cmd":"ReadData","url":"rt.t"})"}
        << QByteArrayList{R"({"data":"2","url":"rt.t"})"};
    QTest::newRow("unknown key")
        << QByteArrayList{R"({"cmd":"ReadData","url":"rt.never"})"}
        << QByteArrayList{R"({"data":"","url":"rt.never"})"};
    QTest::newRow("non-string url")
        << QByteArrayList{R"({"cmd":"SetData","url":3,"data":"empty key"})",
                          R"({"cmd":"ReadData","url":[true]})"}
        << QByteArrayList{R"({"data":"empty key","url":[true]})"};
}

void tst_ServerBinary::roundTrips()
{
    QFETCH(QByteArrayList, commands);
    QFETCH(QByteArrayList, replies);

    Client client;
    for (const QByteArray &command : commands)
        client.send(command);
    for (const QByteArray &expected : replies)
        QCOMPARE(client.receive(), expected);
    QVERIFY(client.quiet());
}

void tst_ServerBinary::arrayAnsweredInOrder()
{
    Client client;
    client.send(R"([{"cmd":"SetData","url":"arr.a","data":"A"},{"cmd":"ReadData","url":"arr.b"},)"
                R"(7,{"cmd":"ReadData","url":"arr.a"},{"cmd":"SetDataReadData","url":"arr.b","data":2}])");
    QCOMPARE(client.receive(), QByteArray(R"({"data":"","url":"arr.b"})"));
    QCOMPARE(client.receive(), QByteArray(R"({"data":"A","url":"arr.a"})"));
    QCOMPARE(client.receive(), QByteArray(R"({"data":"2","url":"arr.b"})"));
    QVERIFY(client.quiet());
}

void tst_ServerBinary::clientsGetTheirOwnReplies()
{
    Client first, second;
    first.send(R"({"cmd":"SetData","url":"own.1","data":"one"})");
    second.send(R"({"cmd":"SetData","url":"own.2","data":"two"})");
    second.send(R"({"cmd":"ReadData","url":"own.1"})");
    first.send(R"({"cmd":"ReadData","url":"own.2"})");

    const QNetworkDatagram toFirst = first.receiveDatagram();
    QCOMPARE(toFirst.data(), QByteArray(R"({"data":"two","url":"own.2"})"));
    QCOMPARE(toFirst.senderPort(), 1234);
    QCOMPARE(toFirst.destinationPort(), int(first.port()));
    QCOMPARE(second.receive(), QByteArray(R"({"data":"one","url":"own.1"})"));
    QVERIFY(first.quiet(100));
    QVERIFY(second.quiet(100));
}

void tst_ServerBinary::nothingBackForIgnoredCommands_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("not json") << QByteArray("hello");
    QTest::newRow("truncated") << QByteArray(R"({"cmd":"ReadData","url":)");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("unknown cmd") << QByteArray(R"({"cmd":"Nope","url":"x"})");
    QTest::newRow("lower case") << QByteArray(R"({"cmd":"readdata","url":"x"})");
    QTest::newRow("no url") << QByteArray(R"({"cmd":"ReadData"})");
    QTest::newRow("set only") << QByteArray(R"({"cmd":"SetData","url":"ign","data":"x"})");
    QTest::newRow("scalars in array") << QByteArray(R"([1,"ReadData",null])");
}

void tst_ServerBinary::nothingBackForIgnoredCommands()
{
    QFETCH(QByteArray, payload);
    Client client;
    const qsizetype mark = errMark();
    client.send(payload);
    QVERIFY(waitForErrLine(mark, "RX ( " + client.endpoint()));
    QVERIFY(client.quiet(100));
}

void tst_ServerBinary::logLinesOfOneDatagram()
{
    Client client;
    const QString from = client.endpoint();
    qsizetype mark = errMark();
    client.send(R"({"cmd":"ReadData","url":"log.k"})");
    QVERIFY(waitForErrLine(mark, "RX ( " + from));
    QCOMPARE(errLinesSince(mark), (QStringList{
        "New Peer added to list:  " + from,
        QStringLiteral("TX: QHostAddress(\"127.0.0.1\") : %1").arg(client.port()),
        "TX ( " + from + R"( ) -> "{\"data\":\"\",\"url\":\"log.k\"}")",
        "RX ( " + from + R"( ) <-  "{\"cmd\":\"ReadData\",\"url\":\"log.k\"}")",
    }));

    mark = errMark();
    client.send(R"({"cmd":"SetData","url":"log.k","data":"v"})");
    QVERIFY(waitForErrLine(mark, "RX ( " + from));
    const QStringList setLines = errLinesSince(mark);
    QCOMPARE(setLines.size(), 2);
    QVERIFY2(setLines.at(0).startsWith("QHash(") && setLines.at(0).contains(R"(("log.k", "v"))"),
             qPrintable(setLines.at(0)));
    QCOMPARE(setLines.at(1), "RX ( " + from + R"( ) <-  "{\"cmd\":\"SetData\",\"url\":\"log.k\",\"data\":\"v\"}")");

    mark = errMark();
    client.send("oops");
    QVERIFY(waitForErrLine(mark, "RX ( " + from));
    QCOMPARE(errLinesSince(mark), (QStringList{
        R"(ORTVRunningDataCore: JSON Parse Error:  "illegal value")",
        "RX ( " + from + R"( ) <-  "oops")"}));
}

void tst_ServerBinary::dataRouteListsEveryKey()
{
    Client client;
    client.send(R"({"cmd":"SetData","url":"d.num","data":42})");
    client.send(R"({"cmd":"SetData","url":"d.text","data":"a \"quoted\" text"})");
    client.send(R"({"cmd":"ReadData","url":"d.text"})");
    QVERIFY(!client.receive().isEmpty());

    const HttpReply get = http("GET", "/Data");
    QCOMPARE(get.status, 200);
    QCOMPARE(get.header("Content-Type"), QByteArray("application/json"));
    QVERIFY(get.body.startsWith(R"({"data":[{)"));
    QVERIFY(get.body.endsWith(R"(}],"message":"Current Database values"})"));
    const QJsonObject answer = QJsonDocument::fromJson(get.body).object();
    QCOMPARE(answer.size(), 2);
    QVariantMap seen;
    for (const QJsonValue &point : answer.value("data").toArray()) {
        QCOMPARE(point.toObject().size(), 1);
        const QString key = point.toObject().keys().constFirst();
        QVERIFY2(!seen.contains(key), qPrintable(key));
        QVERIFY(point.toObject().value(key).isString());
        seen.insert(key, point.toObject().value(key).toString());
    }
    QCOMPARE(seen.value("d.num"), QVariant("42"));
    QCOMPARE(seen.value("d.text"), QVariant("a \"quoted\" text"));

    for (const char *method : {"POST", "DELETE", "PUT", "GET"}) {
        const HttpReply again = http(method, "/Data");
        QCOMPARE(again.status, 200);
        QCOMPARE(QJsonDocument::fromJson(again.body).object(), answer);
    }
}

void tst_ServerBinary::failsWhenPortIsTaken()
{
    // The shared server holds TCP 8080.
    QProcess second;
    second.start(QStringLiteral(SERVER_EXE));
    auto stop = qScopeGuard([&] { second.kill(); second.waitForFinished(); });
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 255);
    QCOMPARE(second.readAllStandardOutput(), banner + "Failed to listen to port 8080 !\n");
    // Neither the core nor the UDP side was created.
    QCOMPARE(second.readAllStandardError(), QByteArray());
}

void tst_ServerBinary::keepAliveAfter29Seconds()
{
    Client client;
    client.send(R"({"cmd":"SetData","url":"ka","data":"1"})");
    const qint64 learntAt = sinceStart.elapsed();
    QVERIFY2(learntAt < 27000, "the tests before this one took too long");

    QVERIFY(QTest::qWaitFor([&] { return client.socket.hasPendingDatagrams(); }, 31000));
    const qint64 arrivedAt = sinceStart.elapsed();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // The first tick is 29 s after the transceiver was made: after the clock started, before
    // the server was seen up (start-up takes longer under an emulator).
    QVERIFY2(arrivedAt >= 28900 && arrivedAt <= upAt + 30000,
             qPrintable(QStringLiteral("%1 ms, up at %2 ms").arg(arrivedAt).arg(upAt)));

    const QByteArray frame = client.receive();
    QCOMPARE(frame.size(), 110);
    const QByteArray head = R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"},{"data":")";
    QVERIFY(frame.startsWith(head));
    QVERIFY(frame.endsWith(R"(","url":"com.orvane.date.utc"}])"));
    QDateTime stamp = QDateTime::fromString(QString::fromLatin1(frame.mid(head.size(), 23)),
                                            QStringLiteral("dd.MM.yyyy HH:mm:ss.zzz"));
    stamp.setTimeZone(QTimeZone::utc());
    QVERIFY2(qAbs(stamp.msecsTo(now)) < 1000, frame.constData());
    QVERIFY(client.quiet(200));
}

// SIGHUP reads the rules file again: the debug lines go off and on without a restart, and the
// store and the peers stay.
void tst_ServerBinary::reloadKeepsStoreAndPeers()
{
    const qint64 pid = server.process.processId();
    Client client;
    qsizetype mark = errMark();
    client.send(R"({"cmd":"SetData","url":"reload","data":"before"})");
    QVERIFY(waitForErrLine(mark, QStringLiteral("RX ( ") + client.endpoint()));

    const QString reloaded = QStringLiteral("Logging rules reloaded from ") + rulesPath();
    QVERIFY(writeRules("default.debug=false"));
    mark = errMark();
    QCOMPARE(::kill(pid_t(pid), SIGHUP), 0);
    QVERIFY(waitForErrLine(mark, reloaded));
    client.send(R"([{"cmd":"SetData","url":"quiet","data":"1"},{"cmd":"ReadData","url":"reload"}])");
    QCOMPARE(client.receive(), QByteArray(R"({"data":"before","url":"reload"})"));
    QCOMPARE(errLinesSince(mark), QStringList{reloaded});

    QVERIFY(writeRules("default.debug=true"));
    mark = errMark();
    QCOMPARE(::kill(pid_t(pid), SIGHUP), 0);
    QVERIFY(waitForErrLine(mark, reloaded));
    client.send(R"({"cmd":"ReadData","url":"quiet"})");
    QCOMPARE(client.receive(), QByteArray(R"({"data":"1","url":"quiet"})"));
    QVERIFY(waitForErrLine(mark, QStringLiteral("RX ( ") + client.endpoint()));
    QVERIFY(!server.err().mid(mark).contains("New Peer"));  // still a peer
    QCOMPARE(server.process.processId(), pid);
}

QTEST_GUILESS_MAIN(tst_ServerBinary)
#include "tst_serverbinary.moc"
