// The metrics listener of the real server, in a private network namespace: its exposition
// checked by promtool and scraped by a real Prometheus, its counters against known traffic.
#include "ServerProcess.h"

#include <QJsonArray>
#include <QNetworkDatagram>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QUrlQuery>

#include <memory>

namespace {

constexpr int waitMs = 20000 * TEST_TIME_SCALE;
const QByteArray metricsAddress = "127.0.0.1:8090";

// The whole answer (head and body) to GET path on the port, or an empty array when there is
// none.
QByteArray httpAnswer(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000 * TEST_TIME_SCALE))
        return QByteArray();
    socket.write("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    // The answer is complete when Content-Length bytes followed its head.
    QByteArray data;
    qsizetype headEnd = -1;
    qsizetype length = -1;
    while (length < 0 || data.size() < headEnd + length) {
        if (!socket.waitForReadyRead(5000 * TEST_TIME_SCALE))
            return QByteArray();
        data += socket.readAll();
        headEnd = data.indexOf("\r\n\r\n") + 4;
        const qsizetype field = data.toLower().indexOf("\r\ncontent-length:");
        if (headEnd >= 4 && field >= 0 && field < headEnd)
            length = data.mid(field + 17, data.indexOf('\r', field + 2) - field - 17)
                         .trimmed().toLongLong();
    }
    return data.left(headEnd + length);
}

QByteArray httpGet(quint16 port, const QByteArray &path)
{
    const QByteArray answer = httpAnswer(port, path);
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// Listening TCP sockets in this network namespace (state 0A in /proc/net/tcp and tcp6).
int listeningSockets()
{
    int count = 0;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            count += fields.size() > 3 && fields.at(3) == "0A";
        }
    }
    return count;
}

void setVariable(ServerProcess &server, const QString &name, const QString &value)
{
    QProcessEnvironment environment = server.process.processEnvironment();
    environment.insert(name, value);
    server.process.setProcessEnvironment(environment);
}

void setMetricsAddress(ServerProcess &server, const QByteArray &address)
{
    setVariable(server, QStringLiteral("ORTV_METRICS_ADDRESS"), QString::fromLatin1(address));
}

// The value of an unlabelled series in one scrape of the listener; an empty array when absent.
QByteArray sampleOf(const QByteArray &exposition, const QByteArray &series)
{
    for (const QByteArray &line : exposition.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1);
    }
    return QByteArray();
}

} // namespace

class tst_Metrics : public QObject
{
    Q_OBJECT

private slots:
    void scrapedByPrometheus();
    void alertingRulesPassPromtool();
    void noListenerWithoutVariable();
    void notFoundUnchanged();
    void unusableAddressWarnsAndServes_data();
    void unusableAddressWarnsAndServes();
    void storeFileSavesCounted();

private:
    void sendKnownTraffic();
    // The value of an instant query's single series, or an empty string while it has none.
    QString queryValue(const QString &query);
};

// From each of three sockets, chunks of SetData with one ReadData and one bad datagram, the
// next chunk only after the ReadData's reply: the kernel never holds more than a few.
void tst_Metrics::sendKnownTraffic()
{
    for (int s = 0; s < 3; ++s) {
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        for (int chunk = 0; chunk < 10; ++chunk) {
            for (int i = 0; i < 20; ++i)
                socket.writeDatagram(QByteArray(R"({"cmd":"SetData","url":"k)")
                                         + QByteArray::number(i) + R"(","data":1})",
                                     QHostAddress::LocalHost, 1234);
            socket.writeDatagram("not json", QHostAddress::LocalHost, 1234);
            socket.writeDatagram(R"([1,{"cmd":"ReadData","url":"k1"}])", QHostAddress::LocalHost,
                                 1234);
            QVERIFY(QTest::qWaitFor([&] {
                while (socket.hasPendingDatagrams()) {
                    if (socket.receiveDatagram().data().contains("\"url\":\"k1\""))
                        return true;
                }
                return false;
            }, waitMs));
        }
    }
}

QString tst_Metrics::queryValue(const QString &query)
{
    QUrlQuery arguments;
    arguments.addQueryItem(QStringLiteral("query"), query);
    const QByteArray body = httpGet(9090, "/api/v1/query?"
                                        + arguments.query(QUrl::FullyEncoded).toLatin1());
    const QJsonArray result =
        QJsonDocument::fromJson(body).object().value(QLatin1String("data")).toObject()
            .value(QLatin1String("result")).toArray();
    if (result.size() != 1)
        return QString();
    return result.at(0).toObject().value(QLatin1String("value")).toArray().at(1).toString();
}

void tst_Metrics::scrapedByPrometheus()
{
    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!prometheus.isEmpty() && !promtool.isEmpty(), "Debian's prometheus is needed");

    ServerProcess server;
    setMetricsAddress(server, metricsAddress);
    QVERIFY(server.start(waitMs));
    QVERIFY(QTest::qWaitFor([&] { return server.err().contains("Metrics served on"); }, waitMs));
    sendKnownTraffic();
    QVERIFY(QTest::qWaitFor([] {
        return httpGet(8090, "/metrics").contains("\nortv_udp_received_datagrams_total 660\n");
    }, waitMs));
    QCOMPARE(httpGet(8080, "/nothing"), QByteArray()); // counted as route "other"

    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted(waitMs));
    check.write(httpGet(8090, "/metrics"));
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(waitMs));
    const QByteArray findings = check.readAllStandardOutput() + check.readAllStandardError();
    QVERIFY2(check.exitCode() == 0 && findings.isEmpty(), findings.constData());

    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: ortv\n"
                 "    static_configs:\n      - targets: ['" + metricsAddress + "']\n");
    config.close();
    QProcess scraper;
    scraper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    scraper.setStandardOutputFile(QProcess::nullDevice());
    scraper.start(prometheus, {QStringLiteral("--config.file=") + config.fileName(),
                               QStringLiteral("--storage.tsdb.path=") + dir.filePath("data"),
                               QStringLiteral("--web.listen-address=127.0.0.1:9090"),
                               QStringLiteral("--log.level=warn")});
    const auto stopScraper = qScopeGuard([&] {
        scraper.terminate();
        if (!scraper.waitForFinished(waitMs))
            scraper.kill();
    });
    QVERIFY(scraper.waitForStarted(waitMs));

    // What was sent: 3 sockets x 10 chunks of 20 SetData, one bad and one array datagram
    // holding a number (ignored) and a ReadData.
    const QList<std::pair<QString, QString>> expected = {
        {QStringLiteral("up{job=\"ortv\"}"), QStringLiteral("1")},
        {QStringLiteral("ortv_udp_received_datagrams_total"), QStringLiteral("660")},
        {QStringLiteral("ortv_commands_total{command=\"SetData\"}"), QStringLiteral("600")},
        {QStringLiteral("ortv_commands_total{command=\"ReadData\"}"), QStringLiteral("30")},
        {QStringLiteral("ortv_parse_errors_total"), QStringLiteral("30")},
        {QStringLiteral("ortv_ignored_objects_total"), QStringLiteral("30")},
        {QStringLiteral("ortv_udp_sent_datagrams_total{kind=\"reply\"}"), QStringLiteral("30")},
        {QStringLiteral("ortv_udp_kernel_drops_total"), QStringLiteral("0")},
        {QStringLiteral("ortv_peers"), QStringLiteral("3")},
        {QStringLiteral("ortv_store_keys"), QStringLiteral("20")},
        // The same values again change nothing.
        {QStringLiteral("ortv_store_changes_total"), QStringLiteral("20")},
        {QStringLiteral("ortv_http_requests_total{route=\"other\"}"), QStringLiteral("1")},
        {QStringLiteral("ortv_build_info{qt=\"") + QString::fromLatin1(qVersion())
             + QStringLiteral("\"}"), QStringLiteral("1")},
    };
    // Prometheus takes a few seconds to start and scrape; then every series is there at once.
    QVERIFY(QTest::qWaitFor([&] { return !queryValue(expected.first().first).isEmpty(); },
                            6 * waitMs));
    for (const auto &[query, value] : expected)
        QCOMPARE(queryValue(query), value);
}

// The rules are valid, and fire as they should against the series of the test file.
void tst_Metrics::alertingRulesPassPromtool()
{
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(QStringLiteral("promtool"),
                {QStringLiteral("check"), QStringLiteral("rules"), QStringLiteral(ALERT_RULES)});
    QVERIFY(check.waitForFinished(waitMs));
    const QByteArray findings = check.readAll();
    QVERIFY2(check.exitCode() == 0 && findings.contains("SUCCESS: 5 rules found"),
             findings.constData());

    QProcess test;
    test.setProcessChannelMode(QProcess::MergedChannels);
    test.start(QStringLiteral("promtool"), {QStringLiteral("test"), QStringLiteral("rules"),
                                            QStringLiteral(ALERT_RULES_TEST)});
    QVERIFY(test.waitForFinished(waitMs));
    QVERIFY2(test.exitCode() == 0, test.readAll().constData());
}

void tst_Metrics::noListenerWithoutVariable()
{
    ServerProcess server;
    QVERIFY(server.start(waitMs));
    QCOMPARE(listeningSockets(), 1); // the HTTP port alone
    QVERIFY(!server.err().contains("Metrics"));
}

// Port 8080's 404 goes through a handler that counts it when the listener is on: the same
// bytes as without it.
void tst_Metrics::notFoundUnchanged()
{
    QByteArray bare;
    {
        ServerProcess server;
        QVERIFY(server.start(waitMs));
        bare = httpAnswer(8080, "/nothing");
    }
    ServerProcess server;
    setMetricsAddress(server, metricsAddress);
    QVERIFY(server.start(waitMs));
    QVERIFY(bare.startsWith("HTTP/1.1 404"));
    QCOMPARE(httpAnswer(8080, "/nothing"), bare);
}

void tst_Metrics::unusableAddressWarnsAndServes_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::newRow("taken port") << metricsAddress;
    QTest::newRow("no port") << QByteArray("127.0.0.1:");
}

void tst_Metrics::unusableAddressWarnsAndServes()
{
    QFETCH(QByteArray, address);
    QTcpServer taker;
    QVERIFY(taker.listen(QHostAddress::LocalHost, 8090));
    ServerProcess server;
    setMetricsAddress(server, address);
    QVERIFY(server.start(waitMs));
    QCOMPARE(httpGet(8080, "/Status"), R"({"message":"Current Server status","status":"success"})");
    QCOMPARE(server.err().count("Metrics not served: cannot listen on " + address + " ("), 1);
    QCOMPARE(server.process.state(), QProcess::Running);
}

// Starts a server with the metrics listener and the store file in dir.
static bool startWithStoreFile(ServerProcess &server, const QTemporaryDir &dir)
{
    setMetricsAddress(server, metricsAddress);
    setVariable(server, QStringLiteral("ORTV_STORE_FILE"), dir.filePath(QStringLiteral("store")));
    setVariable(server, QStringLiteral("ORTV_STORE_SAVE_SECONDS"), QStringLiteral("1"));
    // The metrics listener starts after the lines start() waits for.
    return server.start(waitMs)
        && QTest::qWaitFor([&] { return server.err().contains("Metrics served on"); }, waitMs);
}

// With the store file on as well, its saves show: none before a change, one after it; after a
// restart the last save is the restored file's.
void tst_Metrics::storeFileSavesCounted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerProcess server;
    QVERIFY(startWithStoreFile(server, dir));
    const quint16 port = 8090;
    QCOMPARE(sampleOf(httpGet(port, "/metrics"), "ortv_store_file_saves_total"), "0");

    QUdpSocket client;
    client.writeDatagram(R"({"cmd":"SetData","url":"k","data":"v"})", QHostAddress::LocalHost,
                         1234);
    QTRY_COMPARE_WITH_TIMEOUT(sampleOf(httpGet(port, "/metrics"), "ortv_store_file_saves_total"),
                              QByteArray("1"), waitMs);
    const QByteArray exposition = httpGet(port, "/metrics");
    QCOMPARE(sampleOf(exposition, "ortv_store_file_save_failures_total"), "0");
    const double savedAt =
        sampleOf(exposition, "ortv_store_file_last_save_timestamp_seconds").toDouble();
    QVERIFY2(qAbs(savedAt - QDateTime::currentSecsSinceEpoch()) < 60, exposition);

    server.stop();
    ServerProcess restarted;
    QVERIFY(startWithStoreFile(restarted, dir));
    const QByteArray afterRestart = httpGet(port, "/metrics");
    QCOMPARE(sampleOf(afterRestart, "ortv_store_file_saves_total"), "0");
    // The file holds the time its contents were taken, a moment before the save ended.
    const double restoredAt =
        sampleOf(afterRestart, "ortv_store_file_last_save_timestamp_seconds").toDouble();
    QVERIFY2(restoredAt <= savedAt && savedAt - restoredAt < 5, afterRestart);
}

QTEST_MAIN(tst_Metrics)
#include "tst_metrics.moc"
