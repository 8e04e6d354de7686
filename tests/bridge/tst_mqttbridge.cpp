#include "MqttProbe.h"
#include "ORTVDataClient.h"
#include "ORTVHomeAssistant.h"
#include "ORTVHttpReader.h"
#include "ORTVTopicCodec.h"
#include "ServerProcess.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>

#include <signal.h>

// The real bridge between the real server and Debian's broker, each started by the test in the
// private network namespace the test runs in.
class tst_MqttBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serverToBroker_data();
    void serverToBroker();
    void brokerToServer();
    void badInputSkipped_data();
    void badInputSkipped();
    void brokerRestart_data();
    void brokerRestart();
    void onlyDifferencesAfterRestart();
    void retainedCommandsSkipped();
    void writesConfirmedThroughLoss();
    void stoppedBrokerSeen();
    void dataFailureTold();
    void retainedClearedAfterServerRestart();
    void otherSettings();
    void homeAssistantEntities_data();
    void homeAssistantEntities();
    void tlsNameChecked_data();
    void tlsNameChecked();
    void exitStatus_data();
    void exitStatus();
    void willOnKill();
    void cleanupTestCase();

private:
    bool runBroker(QProcess &process, const QString &name, const QString &config);
    bool startBroker(bool persistence);
    static quint16 freePort();
    bool restartBroker(bool persistence);
    bool startBridge();
    bool startHomeAssistantBridge();
    bool nft(const QString &command);
    bool writeThrough(const QString &key);
    QByteArray bridgeErr();
    bool serverHolds(const QString &key, const QString &value);
    void setOnServer(const QString &key, const QString &value);
    QString dataTopic(const QString &key) { return "ortv/data/" + ORTVTopicCodec::encode(key); }
    std::unique_ptr<MqttProbe> newProbe();

    static constexpr int wait = 5000 * TEST_TIME_SCALE;
    QTemporaryDir dir;
    quint16 brokerPort = 0;
    QProcess broker;
    QProcess bridge;
    QProcess haBridge;
    QByteArray bridgeLog;
    std::unique_ptr<ServerProcess> server = std::make_unique<ServerProcess>();
    QUdpSocket udp;
    std::unique_ptr<MqttProbe> probe;
    int probes = 0;
};

bool tst_MqttBridge::runBroker(QProcess &process, const QString &name, const QString &config)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0)
        return false;
    file.close();
    process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), file.fileName()});
    return process.waitForStarted();
}

bool tst_MqttBridge::startBroker(bool persistence)
{
    return runBroker(broker, "mosquitto.conf",
                     QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nuser root\n"
                                    "persistence %2\npersistence_location %3/\n")
                         .arg(brokerPort).arg(persistence ? "true" : "false", dir.path()));
}

quint16 tst_MqttBridge::freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

bool tst_MqttBridge::restartBroker(bool persistence)
{
    probe.reset();
    broker.terminate();
    return broker.waitForFinished(wait) && startBroker(persistence);
}

bool tst_MqttBridge::startBridge()
{
    bridgeLog.clear();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    // The port from the environment, the rest from the command line: both ways are read.
    environment.insert(QStringLiteral("ORTV_BRIDGE_BROKER_PORT"), QString::number(brokerPort));
    bridge.setProcessEnvironment(environment);
    bridge.start(QStringLiteral(BRIDGE_EXE), {"--interval", "0.2", "--timeout", "0.5",
                                              "--keep-alive", "5", "--client-id", "bridge-under-test"});
    return bridge.waitForStarted() && QTest::qWaitFor([&] {
        return bridgeErr().contains("connected to the MQTT broker");
    }, wait);
}

QByteArray tst_MqttBridge::bridgeErr()
{
    bridge.waitForReadyRead(0);
    bridgeLog += bridge.readAllStandardError();
    return bridgeLog;
}

std::unique_ptr<MqttProbe> tst_MqttBridge::newProbe()
{
    auto p = std::make_unique<MqttProbe>(brokerPort, qPrintable(QString("probe%1").arg(++probes)));
    if (!p->connectTo(wait) || !p->subscribe("ortv/#"))
        return {};
    return p;
}

void tst_MqttBridge::setOnServer(const QString &key, const QString &value)
{
    udp.writeDatagram(ORTVDataClient::writeRequest({{key, value}}, false), QHostAddress::LocalHost,
                      ORTVDataClient::defaultServerPort);
}

bool tst_MqttBridge::serverHolds(const QString &key, const QString &value)
{
    ORTVHttpReader reader;
    QSignalSpy answered(&reader, &ORTVHttpReader::finished);
    reader.get("/Data");
    if (!answered.wait(wait))
        return false;
    const auto values = ORTVHttpReader::parseData(answered.first().first().toByteArray());
    return values && values->contains({key, value});
}

void tst_MqttBridge::initTestCase()
{
    QVERIFY(dir.isValid());
    brokerPort = freePort();
    QVERIFY(brokerPort);
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
    QVERIFY(startBroker(false));
    QVERIFY(server->start(wait));
    QVERIFY2(startBridge(), bridgeLog.constData());
    probe = newProbe();
    QVERIFY(probe);
    QVERIFY(probe->waitFor("ortv/bridge", "online", wait));
    QVERIFY(probe->waitFor("ortv/server", "up", wait));
}

void tst_MqttBridge::serverToBroker_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("levels") << "hall/temp" << "21.5";
    QTest::newRow("wildcards and escape") << "a+b#c%d" << "x";
    QTest::newRow("leading $") << "$SYS/x" << "not the broker's";
    QTest::newRow("empty key") << "" << "nameless";
    QTest::newRow("NUL and controls") << QString("n") + QChar(0) + "\t\x7f" << "ctl";
    QTest::newRow("unicode key and value") << QStringLiteral("Zähler/🌡") << QStringLiteral("°C ✓");
    QTest::newRow("JSON-looking value") << "json" << "{\"a\":[1,2]}";
}

void tst_MqttBridge::serverToBroker()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    setOnServer(key, value);
    QVERIFY2(probe->waitFor(dataTopic(key), value.toUtf8(), wait), qPrintable(dataTopic(key)));
    // A change shows too, and only the last of two quick ones stays.
    setOnServer(key, value + "1");
    setOnServer(key, value + "2");
    QVERIFY(probe->waitFor(dataTopic(key), (value + "2").toUtf8(), wait));
}

void tst_MqttBridge::brokerToServer()
{
    const QList<QPair<QString, QString>> writes{
        {"set/plain", "on"}, {"set+odd#%", "ü€"}, {"", "empty key"}, {"$dollar", "$"}};
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto &[key, value] : writes) {
            const QString sent = value + QString::number(pass);
            QVERIFY(probe->publish("ortv/set/" + ORTVTopicCodec::encode(key), sent.toUtf8()));
        }
    }
    for (const auto &[key, value] : writes) {
        QTRY_VERIFY_WITH_TIMEOUT(serverHolds(key, value + "2"), wait);
        QVERIFY(probe->waitFor(dataTopic(key), (value + "2").toUtf8(), wait));
    }
    // However many datagrams it sent, the bridge is one peer of the server.
    const QString ownPort = QString(" : %1\n").arg(udp.localPort());
    const QList<QByteArray> peers = server->err().split('\n');
    qsizetype bridgePeers = 0;
    for (const QByteArray &line : peers)
        bridgePeers += line.startsWith("New Peer added to list:") && !(line + '\n').endsWith(ownPort.toUtf8());
    QCOMPARE(bridgePeers, 1);
}

void tst_MqttBridge::badInputSkipped_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("no key") << "ortv/set/%zz" << QByteArray("x") << QByteArray("names no key");
    QTest::newRow("empty topic level") << "ortv/set/" << QByteArray("x") << QByteArray("names no key");
    QTest::newRow("invalid UTF-8") << "ortv/set/bad" << QByteArray("\xff\xfe") << QByteArray("not UTF-8");
    QTest::newRow("over 60 KiB") << "ortv/set/big" << QByteArray(61441, 'x') << QByteArray("more than 61440");
}

void tst_MqttBridge::badInputSkipped()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, warning);
    const int before = bridgeErr().count("warning:");
    QVERIFY(probe->publish(topic, payload));
    // The bridge goes on: a good write after the bad one arrives.
    const QString marker = QString::number(QDateTime::currentMSecsSinceEpoch());
    QVERIFY(probe->publish("ortv/set/after-bad", marker.toUtf8()));
    QVERIFY(probe->waitFor(dataTopic("after-bad"), marker.toUtf8(), wait));
    QCOMPARE(bridgeErr().count("warning:"), before + 1);
    QVERIFY2(bridgeLog.contains(warning), bridgeLog.constData());
    QCOMPARE(bridge.state(), QProcess::Running);
}

void tst_MqttBridge::brokerRestart_data()
{
    QTest::addColumn<bool>("persistence");
    QTest::newRow("without persistence") << false;
    QTest::newRow("with persistence") << true;
}

// A broker that comes back gets every value again, whether or not it kept its retained messages:
// a persistent one keeps a value that changed on the server while it was away.
void tst_MqttBridge::brokerRestart()
{
    QFETCH(bool, persistence);
    // First a broker that runs with the row's setting.
    QVERIFY(restartBroker(persistence));
    probe = newProbe();
    QVERIFY(probe);
    QVERIFY(probe->waitFor("ortv/bridge", "online", 4 * wait));
    // A value that stays as it is, and one that changes while the broker is away.
    const QString unchanged = QTest::currentDataTag();
    setOnServer("restart/unchanged", unchanged);
    setOnServer("before/restart", "kept");
    QVERIFY(probe->waitFor(dataTopic("restart/unchanged"), unchanged.toUtf8(), wait));
    QVERIFY(probe->waitFor(dataTopic("before/restart"), "kept", wait));
    bridgeErr();
    bridgeLog.clear();
    probe.reset();
    broker.terminate();
    QVERIFY(broker.waitForFinished(wait));
    QVERIFY(QTest::qWaitFor([&] { return bridgeErr().contains(" lost ("); }, wait));
    setOnServer("before/restart", "changed while away");
    QVERIFY(startBroker(persistence));
    probe = newProbe();
    QVERIFY(probe);
    QVERIFY(probe->waitFor("ortv/bridge", "online", 4 * wait));
    QVERIFY(probe->waitFor(dataTopic("before/restart"), "changed while away", wait));
    QVERIFY(probe->waitFor(dataTopic("restart/unchanged"), unchanged.toUtf8(), wait));
    QVERIFY(probe->waitFor("ortv/server", "up", wait));
    // One line for the loss and one for the return, however many attempts it took.
    QVERIFY2(bridgeErr().count(" lost (") == 1, bridgeLog.constData());
    QCOMPARE(bridgeErr().count("connected to the MQTT broker"), 1);
}

// A broker that kept its retained messages gets only what it lacks or holds wrongly.
void tst_MqttBridge::onlyDifferencesAfterRestart()
{
    QVERIFY(restartBroker(true));
    probe = newProbe();
    QVERIFY(probe && probe->waitFor("ortv/bridge", "online", 4 * wait));
    for (int i = 0; i < 20; ++i)
        setOnServer(QString("keep/%1").arg(i), "v");
    setOnServer("wrong", "right");
    QVERIFY(probe->waitFor(dataTopic("keep/19"), "v", wait));
    QVERIFY(probe->waitFor(dataTopic("wrong"), "right", wait));
    // Behind the bridge's back: a value the server does not hold and one it holds differently.
    QVERIFY(probe->publish(dataTopic("stale"), "x", true));
    QVERIFY(probe->publish(dataTopic("wrong"), "old", true));
    QVERIFY(probe->waitFor(dataTopic("wrong"), "old", wait));
    // Restarted while the bridge is stopped, so that a new subscriber sees all the bridge sends.
    QVERIFY(::kill(pid_t(bridge.processId()), SIGSTOP) == 0);
    setOnServer("moved", "while away");
    QVERIFY(restartBroker(true));
    probe = newProbe();
    QVERIFY(probe && probe->waitFor(dataTopic("stale"), "x", wait));
    QVERIFY(::kill(pid_t(bridge.processId()), SIGCONT) == 0);
    QVERIFY(probe->waitFor(dataTopic("stale"), "", 4 * wait));
    QVERIFY(probe->waitFor(dataTopic("wrong"), "right", wait));
    QVERIFY(probe->waitFor(dataTopic("moved"), "while away", wait));
    // Whatever the bridge sent before this has arrived too.
    setOnServer("last", "x");
    QVERIFY(probe->waitFor(dataTopic("last"), "x", wait));
    QStringList sent = probe->live.filter(QRegularExpression("^ortv/data/"));
    sent.sort();
    QCOMPARE(sent, (QStringList{dataTopic("last"), dataTopic("moved"), dataTopic("stale"),
                                dataTopic("wrong")}));
    QVERIFY2(!bridgeErr().contains("publishing every value"), bridgeLog.constData());
}

bool tst_MqttBridge::nft(const QString &command)
{
    QProcess process;
    process.start(QStringLiteral("nft"), QProcess::splitCommand(command));
    return process.waitForFinished(wait) && process.exitCode() == 0;
}

// Published again every second until the server holds it: just after the bridge connected, its
// subscription may not be in place yet, and the broker keeps no plain message for it.
bool tst_MqttBridge::writeThrough(const QString &key)
{
    const QByteArray marker = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    QElapsedTimer sincePublished;
    return probe->publish("ortv/set/" + key, marker) && QTest::qWaitFor([&] {
        if (!sincePublished.isValid() || sincePublished.hasExpired(1000)) {
            probe->publish("ortv/set/" + key, marker);
            sincePublished.start();
        }
        return probe->pump(), serverHolds(key, marker);
    }, wait);
}

// A retained command would roll the key back on every connection; its clearing is no write.
void tst_MqttBridge::retainedCommandsSkipped()
{
    const QByteArray warning = "warning: skipped a retained command on ortv/set/mode: commands "
                               "are not kept; publish without retain\n";
    const qsizetype before = bridgeErr().count(warning);
    QVERIFY(probe->publish("ortv/set/mode", "newer"));
    QTRY_VERIFY_WITH_TIMEOUT(serverHolds("mode", "newer"), wait);
    QVERIFY(probe->publish("ortv/set/mode", "old", true));
    QVERIFY(probe->publish("ortv/set/mode", "", true));
    QVERIFY(writeThrough("after-clearing"));
    QVERIFY(serverHolds("mode", "newer"));
    QCOMPARE(bridgeErr().count(warning), before + 1);
    // On a new connection the broker hands the stored command over: skipped, told again.
    QVERIFY(probe->publish("ortv/set/mode", "stored", true));
    bridge.kill();
    QVERIFY(bridge.waitForFinished(wait));
    QVERIFY(startBridge());
    QVERIFY(QTest::qWaitFor([&] { return bridgeErr().contains(warning); }, wait));
    QVERIFY(writeThrough("after-restart"));
    QVERIFY(serverHolds("mode", "newer"));
    QVERIFY(probe->publish("ortv/set/mode", "", true));
}

void tst_MqttBridge::writesConfirmedThroughLoss()
{
    QVERIFY(nft("add table inet loss"));
    QVERIFY(nft("add chain inet loss out { type filter hook output priority 0 ; }"));
    QVERIFY(nft("add rule inet loss out udp dport 1234 counter drop"));
    auto removeRule = qScopeGuard([this] { nft("delete table inet loss"); });
    // 10 tries of --timeout 0.5 s, then one warning naming the key.
    QVERIFY(probe->publish("ortv/set/unconfirmed", "x"));
    QVERIFY2(QTest::qWaitFor([&] {
        return bridgeErr().contains("gave up 1 writes the server did not confirm after 10 tries: unconfirmed\n");
    }, 4 * wait), bridgeLog.constData());
    const auto dropped = [this] {
        QProcess nftList;
        nftList.start("nft", {"list", "table", "inet", "loss"});
        const QByteArray out = nftList.waitForFinished(wait) ? nftList.readAllStandardOutput() : "";
        return out.mid(out.indexOf("packets ") + 8).split(' ').first().toLongLong();
    };
    const qint64 before = dropped();
    QVERIFY(probe->publish("ortv/set/lossy", "through"));
    // Sent and sent again, both dropped; the next try after the path heals is stored.
    QVERIFY(QTest::qWaitFor([&] { return dropped() >= before + 2; }, wait));
    removeRule.dismiss();
    QVERIFY(nft("delete table inet loss"));
    QTRY_VERIFY_WITH_TIMEOUT(serverHolds("lossy", "through"), wait);
}

// A stopped broker keeps the connection open and says nothing: only the keep-alive tells.
void tst_MqttBridge::stoppedBrokerSeen()
{
    bridgeLog.clear();
    QVERIFY(::kill(pid_t(broker.processId()), SIGSTOP) == 0);
    // 1.5 keep-alives of silence, counted from the last packet before the stop: seen within two.
    const bool seen = QTest::qWaitFor([&] {
        return bridgeErr().contains(" lost (no answer within the keep-alive of 5 s)");
    }, 10000 * TEST_TIME_SCALE);
    QVERIFY(::kill(pid_t(broker.processId()), SIGCONT) == 0);
    QVERIFY2(seen, bridgeLog.constData());
    QVERIFY(QTest::qWaitFor([&] { return bridgeErr().contains("connected to the MQTT broker"); },
                            6 * wait));
    // The test's own client may have given the stopped broker up as well.
    probe = newProbe();
    QVERIFY(probe);
    QVERIFY2(writeThrough("after-stop"), bridgeErr().constData());
}

void tst_MqttBridge::dataFailureTold()
{
    bridgeLog.clear();
    // Requests for /Data never reach the server, /Status does.
    QVERIFY(nft("add table inet slow"));
    QVERIFY(nft("add chain inet slow out { type filter hook output priority 0 ; }"));
    QVERIFY(nft("add rule inet slow out tcp dport 8080 @ih,0,72 0x474554202f44617461 drop"));
    auto removeRule = qScopeGuard([this] { nft("delete table inet slow"); });
    QVERIFY(QTest::qWaitFor([&] {
        return bridgeErr().contains("reading http://127.0.0.1:8080/Data fails (no answer within "
                                    "500 ms); the broker keeps the last values\n");
    }, 2 * wait));
    QVERIFY(probe->waitFor("ortv/server/reason", "/Data: no answer within 500 ms", wait));
    QVERIFY(probe->waitFor("ortv/server", "down", wait));
    removeRule.dismiss();
    QVERIFY(nft("delete table inet slow"));
    QVERIFY(probe->waitFor("ortv/server", "up", 2 * wait));
    QVERIFY(probe->waitFor("ortv/server/reason", "", wait));
    QCOMPARE(bridgeErr().count("reading /Data works again\n"), 1);
    QVERIFY(!bridgeLog.contains("data server down"));
}

void tst_MqttBridge::retainedClearedAfterServerRestart()
{
    setOnServer("before/server-restart", "old");
    QVERIFY(probe->waitFor(dataTopic("before/server-restart"), "old", wait));
    // A new process object: the old one's output would answer the wait for the new one's.
    server = std::make_unique<ServerProcess>();
    QVERIFY(probe->waitFor("ortv/server", "down", wait));
    QVERIFY(server->start(wait));
    setOnServer("after/restart", "new");
    QVERIFY2(probe->waitFor(dataTopic("after/restart"), "new", wait), bridgeErr().constData());
    QVERIFY(probe->waitFor("ortv/server", "up", wait));
    // Everything the old store held is gone from the broker, for a subscriber that comes later.
    const std::unique_ptr<MqttProbe> late = newProbe();
    QVERIFY(late);
    QVERIFY(late->waitFor(dataTopic("after/restart"), "new", wait));
    QStringList dataTopics;
    for (auto it = late->latest.cbegin(); it != late->latest.cend(); ++it) {
        if (it.key().startsWith("ortv/data/"))
            dataTopics.append(it.key());
    }
    dataTopics.sort();
    QVERIFY2(dataTopics == QStringList{dataTopic("after/restart")},
             qPrintable(dataTopics.join(' ') + '\n' + bridgeErr()));
}

// Another bridge beside the first: --read-only, --qos 0 and --home-assistant, with settings from
// the environment that the command line overrides.
void tst_MqttBridge::otherSettings()
{
    QProcess other;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ORTV_BRIDGE_BROKER_PORT", QString::number(brokerPort));
    environment.insert("ORTV_BRIDGE_PREFIX", "env-loses");
    environment.insert("ORTV_BRIDGE_QOS", "0");
    other.setProcessEnvironment(environment);
    other.start(QStringLiteral(BRIDGE_EXE), {"--prefix", "alt", "--read-only", "--home-assistant",
                                             "--interval", "0.2", "--client-id", "alt.bridge"});
    QVERIFY(other.waitForStarted());
    const std::unique_ptr<MqttProbe> watcher = newProbe();
    QVERIFY(watcher && watcher->subscribe("#"));
    setOnServer("alt/check", "v");
    QVERIFY(watcher->waitFor("alt/data/alt/check", "v", wait));
    const QString entry = ORTVHomeAssistant::configTopic("alt_bridge", "alt/check");
    QVERIFY(QTest::qWaitFor([&] {
        watcher->pump();
        return watcher->latest.value(entry).contains("\"state_topic\":\"alt/data/alt/check\"");
    }, wait));
    QVERIFY(watcher->publish("alt/set/read-only", "x"));
    QVERIFY(writeThrough("after-read-only"));
    QVERIFY(!serverHolds("read-only", "x"));
    for (auto it = watcher->latest.cbegin(); it != watcher->latest.cend(); ++it)
        QVERIFY2(!it.key().startsWith("env-loses"), qPrintable(it.key()));
    other.kill();
    other.waitForFinished();
}

bool tst_MqttBridge::startHomeAssistantBridge()
{
    QFile entities(dir.filePath("entities"));
    if (!entities.open(QIODevice::WriteOnly) || !entities.write("# by hand\nha/temp unit=°C device_"
            "class=temperature\nha/ignored/*  ignore\nha/wnum writable\n") || !entities.flush())
        return false;
    haBridge.setProcessChannelMode(QProcess::MergedChannels);
    haBridge.start(QStringLiteral(BRIDGE_EXE),
                   {"--broker-port", QString::number(brokerPort), "--prefix", "ha", "--interval",
                    "0.2", "--client-id", "ha-bridge", "--home-assistant", "--match", "ha/*",
                    "--entities", entities.fileName(), "--writable", "ha/w*", "--writable",
                    "ha/kind"});
    return haBridge.waitForStarted() && QTest::qWaitFor([&] {
        return haBridge.peek(1 << 20).contains("connected to the MQTT broker");
    }, wait);
}

// What Home Assistant's MQTT discovery would refuse in an entry of the platform.
QString discoveryFaults(const QString &platform, const QJsonObject &entry)
{
    static const QStringList sensorClasses = QString(
        "apparent_power aqi atmospheric_pressure battery carbon_dioxide carbon_monoxide current "
        "data_rate data_size date distance duration energy energy_storage enum frequency gas "
        "humidity illuminance irradiance moisture monetary nitrogen_dioxide nitrogen_monoxide "
        "nitrous_oxide ozone ph pm1 pm10 pm25 power power_factor precipitation "
        "precipitation_intensity pressure reactive_power signal_strength sound_pressure speed "
        "sulphur_dioxide temperature timestamp volatile_organic_compounds "
        "volatile_organic_compounds_parts voltage volume volume_flow_rate volume_storage water "
        "weight wind_speed").split(' ');
    QStringList faults;
    const auto need = [&](bool ok, const char *what) { if (!ok) faults.append(what); };
    need(!entry.value("state_topic").toString().isEmpty(), "state_topic");
    need(entry.value("availability_mode") == "all", "availability_mode");
    for (const QJsonValue &item : entry.value("availability").toArray())
        need(!item.toObject().value("topic").toString().isEmpty(), "availability topic");
    need(entry.value("command_topic").toString().isEmpty() == (platform == "sensor"), "command");
    need(QString(" measurement total total_increasing").split(' ').contains(
             entry.value("state_class").toString()), "state_class");
    need(!entry.contains("device_class")
             || sensorClasses.contains(entry.value("device_class").toString()), "device_class");
    if (platform == "number") {
        need(entry.value("min").toDouble() < entry.value("max").toDouble(), "min < max");
        need(entry.value("step").toDouble() >= 0.001, "step");
        need(QStringList({"auto", "box", "slider"}).contains(entry.value("mode").toString()),
             "mode");
    }
    need(platform != "text" || entry.value("max").toInt(256) <= 255, "max");
    return faults.join(' ');
}

// Each kind of key, as Home Assistant finds it; a writable one's entity writes into the server.
void tst_MqttBridge::homeAssistantEntities_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("entities"); // "PLATFORM state_class unit device_class", ...
    QTest::addColumn<QString>("write");
    QTest::newRow("unit and class from the file")
        << "ha/temp" << "" << "-3" << "sensor measurement °C temperature" << "";
    QTest::newRow("numeric, writable") << "ha/wnum" << "" << "21.5"
                                       << "sensor measurement  , number   " << "7.5";
    QTest::newRow("text, writable") << "ha/wtext" << "" << "abc" << "sensor   , text   " << "hi";
    QTest::newRow("text turned number") << "ha/kind" << "abc" << "1e3"
                                        << "sensor measurement  , number   " << "6";
    QTest::newRow("ignored by the file") << "ha/ignored/x" << "" << "1" << "" << "";
    QTest::newRow("not matched") << "other/x" << "" << "1" << "" << "w";
}

void tst_MqttBridge::homeAssistantEntities()
{
    QFETCH(QString, key);
    QFETCH(QString, before);
    QFETCH(QString, value);
    QFETCH(QString, entities);
    QFETCH(QString, write);
    if (haBridge.state() != QProcess::Running)
        QVERIFY2(startHomeAssistantBridge(), haBridge.peek(1 << 20).constData());
    const std::unique_ptr<MqttProbe> watcher = newProbe();
    QVERIFY(watcher && watcher->subscribe("ha/#") && watcher->subscribe("homeassistant/#"));
    const QString data = "ha/data/" + ORTVTopicCodec::encode(key);
    if (!before.isEmpty()) {
        setOnServer(key, before);
        QVERIFY(watcher->waitFor(data, before.toUtf8(), wait));
    }
    setOnServer(key, value);
    QTRY_VERIFY_WITH_TIMEOUT(serverHolds(key, value), wait);
    // A read publishes in the store's order: the second after the value's follows all of it.
    const QString mark = QString("ha/mark/") + QTest::currentDataTag();
    for (const char *pass : {"1", "2"}) {
        setOnServer(mark, pass);
        QVERIFY(watcher->waitFor("ha/data/" + ORTVTopicCodec::encode(mark), pass, wait));
    }
    QCOMPARE(watcher->latest.value(data), key.startsWith("other/") ? "" : value.toUtf8());
    QStringList shown;
    QString command = "ha/set/" + key;
    for (const char *platform : {"sensor", "number", "text"}) {
        const QByteArray held =
            watcher->latest.value(ORTVHomeAssistant::configTopic("ha-bridge", key, platform));
        const QJsonObject entry = QJsonDocument::fromJson(held).object();
        if (held.isEmpty())
            continue;
        QVERIFY2(discoveryFaults(platform, entry).isEmpty(), held.constData());
        QCOMPARE(QJsonDocument(entry.value("availability").toArray()).toJson(QJsonDocument::Compact),
                 R"([{"payload_available":"online","payload_not_available":"offline","topic":)"
                 R"("ha/bridge"},{"payload_available":"up","payload_not_available":"down",)"
                 R"("topic":"ha/server"}])");
        command = entry.value("command_topic").toString(command);
        shown.append(QStringList{platform, entry.value("state_class").toString(),
                                 entry.value("unit_of_measurement").toString(),
                                 entry.value("device_class").toString()}.join(' '));
    }
    QCOMPARE(shown.join(", "), entities);
    if (write.isEmpty())
        return;
    QVERIFY(watcher->publish(command, write.toUtf8()));
    if (entities.isEmpty()) {
        QVERIFY(QTest::qWaitFor([&] {
            return haBridge.peek(1 << 20).contains("ha/set/" + key.toUtf8() + ": --match takes");
        }, wait));
        QVERIFY(!serverHolds(key, write));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(serverHolds(key, write), wait);
}

// A broker with a certificate from a test CA: the bridge, which hands the library an address,
// still accepts it only for the name it was given.
void tst_MqttBridge::tlsNameChecked_data()
{
    QTest::addColumn<QString>("certified");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("outcome");
    const QString in = "connected to the MQTT broker";
    const QString out = "not reachable (certificate refused: ";
    QTest::newRow("its name") << "DNS:localhost" << "localhost" << true << in;
    QTest::newRow("another name") << "DNS:broker.invalid" << "localhost" << true
                                  << out + "hostname mismatch)";
    QTest::newRow("its address") << "IP:127.0.0.1" << "127.0.0.1" << true << in;
    QTest::newRow("an address it does not name") << "DNS:localhost" << "127.0.0.1" << true
                                                 << out + "IP address mismatch)";
    // Refused at once: the bridge must say so, not retry the handshake on a dead socket.
    QTest::newRow("nothing listening") << "DNS:localhost" << "127.0.0.1" << false
                                       << "not reachable (";
}

void tst_MqttBridge::tlsNameChecked()
{
    QFETCH(QString, certified);
    QFETCH(QString, host);
    QFETCH(bool, listening);
    QFETCH(QString, outcome);
    if (QHostAddress(host).isNull() && QHostInfo::fromName(host).addresses().isEmpty())
        QSKIP("this machine has no address for the name (no /etc/hosts)");
    const QString key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
    QCOMPARE(QProcess::execute("sh", {"-c", "cd " + dir.path() + " && exec >/dev/null 2>&1"
        " && openssl req -x509 -days 2 -subj /CN=test-ca" + key + "ca.key -out ca.pem"
        " && openssl req -subj /CN=broker -addext subjectAltName=" + certified + key + "tls.key"
        " -out tls.csr && openssl x509 -req -days 2 -in tls.csr -CA ca.pem -CAkey ca.key"
        " -CAcreateserial -copy_extensions copy -out tls.pem"}), 0);
    const quint16 tlsPort = freePort();
    QProcess tlsBroker;
    if (listening) {
        QVERIFY(runBroker(tlsBroker, "tls.conf",
                          QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nuser root\n"
                                         "certfile %2/tls.pem\nkeyfile %2/tls.key\n")
                              .arg(tlsPort).arg(dir.path())));
    }
    QProcess tlsBridge;
    tlsBridge.setProcessChannelMode(QProcess::MergedChannels);
    tlsBridge.start(QStringLiteral(BRIDGE_EXE),
                    {"--broker", host, "--broker-port", QString::number(tlsPort), "--tls-ca",
                     dir.filePath("ca.pem"), "--prefix", "tls", "--client-id", "tls.bridge"});
    QByteArray log;
    QVERIFY2(QTest::qWaitFor([&] {
        log += tlsBridge.readAll();
        return log.contains(outcome.toUtf8());
    }, 2 * wait), log.constData());
    for (QProcess *process : {&tlsBridge, &tlsBroker}) {
        process->kill();
        process->waitForFinished();
    }
}

void tst_MqttBridge::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("unknown option") << QStringList{"--no-such"} << 2;
    QTest::newRow("port 0") << QStringList{"--broker-port", "0"} << 2;
    QTest::newRow("keep-alive under 5 s") << QStringList{"--keep-alive", "4"} << 2;
    QTest::newRow("QoS 2") << QStringList{"--qos", "2"} << 2;
    QTest::newRow("server name unknown") << QStringList{"--server", "no-such-host.invalid"} << 2;
    QTest::newRow("entities file not one") << QStringList{"--entities", BRIDGE_EXE} << 2;
    QTest::newRow("help") << QStringList{"--help"} << 0;
}

void tst_MqttBridge::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QProcess process;
    process.start(QStringLiteral(BRIDGE_EXE), arguments);
    QVERIFY(process.waitForFinished(2 * wait));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);
}

void tst_MqttBridge::willOnKill()
{
    QVERIFY(probe->waitFor("ortv/bridge", "online", wait));
    bridge.kill();
    QVERIFY(bridge.waitForFinished(wait));
    QVERIFY(probe->waitFor("ortv/bridge", "offline", wait));
}

void tst_MqttBridge::cleanupTestCase()
{
    for (QProcess *process : {&bridge, &haBridge, &broker}) {
        process->kill();
        process->waitForFinished();
    }
}

QTEST_MAIN(tst_MqttBridge)
#include "tst_mqttbridge.moc"
