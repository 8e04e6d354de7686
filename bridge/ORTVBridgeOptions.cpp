#include "ORTVBridgeOptions.h"

#include <QCommandLineParser>
#include <QHostInfo>

#include <cmath>

namespace {

QString variableFor(const QString &option)
{
    return QLatin1String("ORTV_BRIDGE_") + option.toUpper().replace(QLatin1Char('-'), QLatin1Char('_'));
}

std::optional<int> seconds(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < 0.01 || value > 3600)
        return std::nullopt;
    return int(std::lround(value * 1000));
}

// A prefix is one or more topic levels that are neither wildcards nor a system topic.
bool validPrefix(const QString &prefix)
{
    return !prefix.isEmpty() && !prefix.contains(QLatin1Char('+')) && !prefix.contains(QLatin1Char('#'))
        && !prefix.startsWith(QLatin1Char('$')) && !prefix.endsWith(QLatin1Char('/'))
        && !prefix.contains(QChar(0));
}

} // namespace

bool ORTVBridgeOptions::parse(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes the values of an ORTV data server on an MQTT broker (PREFIX/data/KEY, "
        "retained)\nand stores what is published on PREFIX/set/KEY in the server.\n"
        "Every option can also be set with an environment variable: ORTV_BRIDGE_ and the\n"
        "option's name in capitals, e.g. ORTV_BRIDGE_BROKER_PORT=8883; the command line wins."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QList<QCommandLineOption> valued{
        {QStringLiteral("server"), QStringLiteral("The data server (default 127.0.0.1)."), QStringLiteral("HOST")},
        {QStringLiteral("broker"), QStringLiteral("The MQTT broker (default 127.0.0.1)."), QStringLiteral("HOST")},
        {QStringLiteral("broker-port"), QStringLiteral("The broker's port (default 1883)."), QStringLiteral("N")},
        {QStringLiteral("prefix"), QStringLiteral("First topic level(s) (default ortv)."), QStringLiteral("P")},
        {QStringLiteral("interval"), QStringLiteral("Seconds between two reads of /Data (default 1)."), QStringLiteral("S")},
        {QStringLiteral("timeout"), QStringLiteral("Seconds the server has to answer (default 2)."), QStringLiteral("S")},
        {QStringLiteral("keep-alive"), QStringLiteral("Seconds of MQTT keep-alive, 5 to 3600 (default 30): a broker silent\nfor one and a half of them counts as gone."), QStringLiteral("S")},
        {QStringLiteral("qos"), QStringLiteral("MQTT quality of service of values and writes, 0 or 1 (default 1)."), QStringLiteral("Q")},
        {QStringLiteral("client-id"), QStringLiteral("MQTT client id (default ortv-mqtt-bridge-HOSTNAME)."), QStringLiteral("ID")},
        {QStringLiteral("username"), QStringLiteral("MQTT user name."), QStringLiteral("NAME")},
        {QStringLiteral("password-file"), QStringLiteral("File whose first line is the MQTT password."), QStringLiteral("FILE")},
        {QStringLiteral("tls-ca"), QStringLiteral("Speak TLS to the broker, trusting the CA certificates in FILE."), QStringLiteral("FILE")},
        {QStringLiteral("metrics"), QStringLiteral("Also read the server's /metrics on PORT each interval and publish a few figures on PREFIX/metrics/NAME."), QStringLiteral("PORT")},
    };
    const QList<QCommandLineOption> flags{
        {QStringLiteral("read-only"), QStringLiteral("Publish only: no PREFIX/set/ subscription.")},
        {QStringLiteral("home-assistant"), QStringLiteral("Publish Home Assistant discovery entries for every key.")},
    };
    parser.addOptions(valued);
    parser.addOptions(flags);
    // parse(), not process(): process() ends the program with status 1 on an unknown option.
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
        return false;
    }

    auto value = [&](const QString &name, const QString &fallback) {
        if (parser.isSet(name))
            return parser.value(name);
        return environment.value(variableFor(name), fallback);
    };
    auto flag = [&](const QString &name) {
        if (parser.isSet(name))
            return true;
        const QString text = environment.value(variableFor(name)).trimmed().toLower();
        return text == QLatin1String("1") || text == QLatin1String("yes") || text == QLatin1String("true")
            || text == QLatin1String("on");
    };

    server = value(QStringLiteral("server"), server);
    broker = value(QStringLiteral("broker"), broker);
    bool ok = false;
    const uint port = value(QStringLiteral("broker-port"), QString::number(brokerPort)).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        error = QStringLiteral("--broker-port takes a port from 1 to 65535");
        return false;
    }
    brokerPort = quint16(port);
    prefix = value(QStringLiteral("prefix"), prefix);
    if (!validPrefix(prefix)) {
        error = QStringLiteral("--prefix takes topic levels without +, #, a leading $ or a trailing /");
        return false;
    }
    const std::optional<int> interval = seconds(value(QStringLiteral("interval"), QStringLiteral("1")));
    const std::optional<int> timeout = seconds(value(QStringLiteral("timeout"), QStringLiteral("2")));
    if (!interval || !timeout) {
        error = QStringLiteral("--interval and --timeout take seconds from 0.01 to 3600");
        return false;
    }
    intervalMs = *interval;
    timeoutMs = *timeout;
    bool keepAliveOk = false;
    keepAliveSeconds = value(QStringLiteral("keep-alive"), QString::number(keepAliveSeconds))
                           .toInt(&keepAliveOk);
    if (!keepAliveOk || keepAliveSeconds < 5 || keepAliveSeconds > 3600) {
        error = QStringLiteral("--keep-alive takes whole seconds from 5 to 3600");
        return false;
    }
    const QString qosText = value(QStringLiteral("qos"), QString::number(qos));
    if (qosText != QLatin1String("0") && qosText != QLatin1String("1")) {
        error = QStringLiteral("--qos takes 0 or 1");
        return false;
    }
    qos = qosText.toInt();
    clientId = value(QStringLiteral("client-id"),
                     QLatin1String("ortv-mqtt-bridge-") + QHostInfo::localHostName());
    username = value(QStringLiteral("username"), QString());
    passwordFile = value(QStringLiteral("password-file"), QString());
    tlsCaFile = value(QStringLiteral("tls-ca"), QString());
    const QString metricsText = value(QStringLiteral("metrics"), QStringLiteral("0"));
    const uint metrics = metricsText.toUInt(&ok);
    if (!ok || metrics > 65535) {
        error = QStringLiteral("--metrics takes the port of the server's metrics listener");
        return false;
    }
    metricsPort = quint16(metrics);
    readOnly = flag(QStringLiteral("read-only"));
    homeAssistant = flag(QStringLiteral("home-assistant"));
    return true;
}
