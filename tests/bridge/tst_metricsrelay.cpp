// The bridge's --metrics: the real server's figures relayed to Debian's broker, as retained
// topics and Home Assistant sensors. Everything runs in the test's private network namespace.
#include "MqttProbe.h"
#include "ServerProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUdpSocket>

class tst_MetricsRelay : public QObject
{
    Q_OBJECT

private slots:
    void figuresOnBroker();
};

void tst_MetricsRelay::figuresOnBroker()
{
    constexpr int wait = 10000 * TEST_TIME_SCALE;
    QTemporaryDir dir;
    QFile config(dir.filePath("mosquitto.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("listener 1883 127.0.0.1\nallow_anonymous true\nuser root\n");
    config.close();
    QProcess broker, bridge;
    const auto stop = qScopeGuard([&] {
        for (QProcess *process : {&bridge, &broker}) {
            process->kill();
            process->waitForFinished();
        }
    });
    broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config.fileName()});
    QVERIFY(broker.waitForStarted(wait));

    ServerProcess server;
    QProcessEnvironment environment = server.process.processEnvironment();
    environment.insert(QStringLiteral("ORTV_METRICS_ADDRESS"), QStringLiteral("8090"));
    server.process.setProcessEnvironment(environment);
    QVERIFY(server.start(wait));
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
    for (int i = 0; i < 25; ++i)
        udp.writeDatagram(R"({"cmd":"SetData","url":"k)" + QByteArray::number(i) + R"(","data":1})",
                          QHostAddress::LocalHost, 1234);
    udp.writeDatagram("not json", QHostAddress::LocalHost, 1234);

    // Subscribed before the bridge starts: every message it publishes is counted.
    MqttProbe probe(1883, "relay-probe");
    QVERIFY(probe.connectTo(wait));
    QVERIFY(probe.subscribe("ortv/metrics/#") && probe.subscribe("homeassistant/#"));
    // The port from the environment, like the service's settings file.
    environment.insert(QStringLiteral("ORTV_BRIDGE_METRICS"), QStringLiteral("8090"));
    bridge.setProcessEnvironment(environment);
    bridge.start(QStringLiteral(BRIDGE_EXE), {"--interval", "0.2", "--home-assistant",
                                              "--client-id", "relay"});
    QVERIFY(bridge.waitForStarted(wait));

    QVERIFY(probe.waitFor("ortv/metrics/keys", "25", wait));
    QVERIFY(probe.waitFor("ortv/metrics/parse_errors", "1", wait));
    QVERIFY(probe.waitFor("ortv/metrics/kernel_drops", "0", wait));
    QVERIFY(probe.waitFor("ortv/metrics/peers", "1", wait));
    QVERIFY(QTest::qWaitFor([&] {
        probe.pump();
        return probe.latest.contains("ortv/metrics/datagrams_per_second")
            && probe.latest.value("ortv/metrics/resident_memory").toLongLong() > 1000000;
    }, wait));
    const QJsonObject sensor = QJsonDocument::fromJson(
        probe.latest.value("homeassistant/sensor/relay/metrics_resident_memory/config")).object();
    QCOMPARE(sensor.value("state_topic").toString(), QStringLiteral("ortv/metrics/resident_memory"));
    QCOMPARE(sensor.value("unit_of_measurement").toString(), QStringLiteral("B"));

    // A figure goes only when it changed: each new key once, the unchanged ones not again,
    // while the rate rises and falls back (two reads at least each time).
    for (int more = 26; more <= 28; ++more) {
        udp.writeDatagram(R"({"cmd":"SetData","url":"k)" + QByteArray::number(more)
                              + R"(","data":1})", QHostAddress::LocalHost, 1234);
        QVERIFY(probe.waitFor("ortv/metrics/keys", QByteArray::number(more), wait));
        QVERIFY(probe.waitFor("ortv/metrics/datagrams_per_second", "0", wait));
    }
    QCOMPARE(probe.live.count("ortv/metrics/keys"), 4);
    QCOMPARE(probe.live.count("ortv/metrics/kernel_drops"), 1);
}

QTEST_MAIN(tst_MetricsRelay)
#include "tst_metricsrelay.moc"
