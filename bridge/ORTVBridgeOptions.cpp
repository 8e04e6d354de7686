#include "ORTVBridgeOptions.h"
#include "ORTVHomeAssistant.h"

#include <QCommandLineParser>
#include <QFile>
#include <QHostInfo>

#include <cmath>
#include <optional>

namespace {

// Each option's value from the command line, else from its environment variable.
class OptionSource
{
public:
    OptionSource(const QCommandLineParser &parser, const QProcessEnvironment &environment)
        : parser(parser), environment(environment)
    {
    }
    QString value(const QString &name, const QString &fallback) const
    {
        if (parser.isSet(name))
            return parser.value(name);
        return environment.value(variableFor(name), fallback);
    }
    // A repeatable option's values; its variable holds them separated by blanks.
    QStringList values(const QString &name) const
    {
        if (parser.isSet(name))
            return parser.values(name);
        return environment.value(variableFor(name)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    bool flag(const QString &name) const
    {
        if (parser.isSet(name))
            return true;
        const QString text = environment.value(variableFor(name)).trimmed().toLower();
        return text == QLatin1String("1") || text == QLatin1String("yes")
            || text == QLatin1String("true") || text == QLatin1String("on");
    }

private:
    static QString variableFor(const QString &option)
    {
        return QLatin1String("ORTV_BRIDGE_")
            + option.toUpper().replace(QLatin1Char('-'), QLatin1Char('_'));
    }

    const QCommandLineParser &parser;
    const QProcessEnvironment &environment;
};

std::optional<int> milliseconds(const QString &seconds)
{
    bool ok = false;
    const double value = seconds.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < 0.01 || value > 3600)
        return std::nullopt;
    return int(std::lround(value * 1000));
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

// A prefix is one or more topic levels that are neither wildcards nor a system topic.
bool validPrefix(const QString &prefix)
{
    return !prefix.isEmpty() && !prefix.contains(QLatin1Char('+'))
        && !prefix.contains(QLatin1Char('#')) && !prefix.startsWith(QLatin1Char('$'))
        && !prefix.endsWith(QLatin1Char('/')) && !prefix.contains(QChar(0));
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
    addOptions(parser);
    // parse(), not process(): process() ends the program with status 1 on an unknown option.
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1")
                        .arg(parser.positionalArguments().first()));
    return take(parser, environment) && readPassword() && readEntityRules();
}

// The help texts show the defaults: the values the members start with.
void ORTVBridgeOptions::addOptions(QCommandLineParser &parser) const
{
    const auto valued = [](const char *name, const QString &help, const char *valueName) {
        return QCommandLineOption(QLatin1String(name), help, QLatin1String(valueName));
    };
    const auto flag = [](const char *name, const QString &help) {
        return QCommandLineOption(QLatin1String(name), help);
    };
    parser.addOptions({
        valued("server", QStringLiteral("The data server (default %1).").arg(server), "HOST"),
        valued("broker", QStringLiteral("The MQTT broker (default %1).").arg(broker), "HOST"),
        valued("broker-port", QStringLiteral("The broker's port (default %1).").arg(brokerPort),
               "N"),
        valued("prefix", QStringLiteral("First topic level(s) (default %1).").arg(prefix), "P"),
        valued("interval",
               QStringLiteral("Seconds between two reads of /Data (default %1).")
                   .arg(seconds(intervalMs)),
               "S"),
        valued("timeout",
               QStringLiteral("Seconds the server has to answer (default %1).")
                   .arg(seconds(timeoutMs)),
               "S"),
        valued("keep-alive",
               QStringLiteral("Seconds of MQTT keep-alive, 5 to 3600 (default %1): a broker "
                              "silent\nfor one and a half of them counts as gone.")
                   .arg(keepAliveSeconds),
               "S"),
        valued("qos",
               QStringLiteral("MQTT quality of service of values and writes, 0 or 1 "
                              "(default %1).").arg(qos),
               "Q"),
        valued("client-id", QStringLiteral("MQTT client id (default ortv-mqtt-bridge-HOSTNAME)."),
               "ID"),
        valued("username", QStringLiteral("MQTT user name."), "NAME"),
        valued("password-file", QStringLiteral("File whose first line is the MQTT password."),
               "FILE"),
        valued("tls-ca",
               QStringLiteral("Speak TLS to the broker, trusting the CA certificates in FILE."),
               "FILE"),
        valued("metrics",
               QStringLiteral("Also read the server's /metrics on PORT each interval and publish "
                              "a few figures on PREFIX/metrics/NAME."),
               "PORT"),
        valued("match",
               QStringLiteral("Bridge only the keys GLOB matches (* any text, ? one character,"
                              "\n[...] one of a set); repeatable. Default: every key."),
               "GLOB"),
        valued("entities",
               QStringLiteral("With --home-assistant: the unit, device class, state class, "
                              "writable\nor ignore of the keys, one line 'GLOB SETTING...' "
                              "each; the first match wins."),
               "FILE"),
        valued("writable",
               QStringLiteral("With --home-assistant: the keys GLOB matches get a number or "
                              "text\nentity that writes them; repeatable."),
               "GLOB"),
        flag("read-only", QStringLiteral("Publish only: no PREFIX/set/ subscription.")),
        flag("home-assistant",
             QStringLiteral("Publish Home Assistant discovery entries for every key: a "
                            "measurement\nsensor while its value is a number, a text sensor "
                            "otherwise.")),
    });
}

bool ORTVBridgeOptions::take(const QCommandLineParser &parser,
                             const QProcessEnvironment &environment)
{
    const OptionSource source(parser, environment);
    server = source.value(QStringLiteral("server"), server);
    broker = source.value(QStringLiteral("broker"), broker);
    bool ok = false;
    const uint port =
        source.value(QStringLiteral("broker-port"), QString::number(brokerPort)).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return fail(QStringLiteral("--broker-port takes a port from 1 to 65535"));
    brokerPort = quint16(port);
    prefix = source.value(QStringLiteral("prefix"), prefix);
    if (!validPrefix(prefix))
        return fail(QStringLiteral(
            "--prefix takes topic levels without +, #, a leading $ or a trailing /"));
    const std::optional<int> interval =
        milliseconds(source.value(QStringLiteral("interval"), seconds(intervalMs)));
    const std::optional<int> timeout =
        milliseconds(source.value(QStringLiteral("timeout"), seconds(timeoutMs)));
    if (!interval || !timeout)
        return fail(QStringLiteral("--interval and --timeout take seconds from 0.01 to 3600"));
    intervalMs = *interval;
    timeoutMs = *timeout;
    keepAliveSeconds =
        source.value(QStringLiteral("keep-alive"), QString::number(keepAliveSeconds)).toInt(&ok);
    if (!ok || keepAliveSeconds < 5 || keepAliveSeconds > 3600)
        return fail(QStringLiteral("--keep-alive takes whole seconds from 5 to 3600"));
    const QString qosText = source.value(QStringLiteral("qos"), QString::number(qos));
    if (qosText != QLatin1String("0") && qosText != QLatin1String("1"))
        return fail(QStringLiteral("--qos takes 0 or 1"));
    qos = qosText.toInt();
    clientId = source.value(QStringLiteral("client-id"),
                            QLatin1String("ortv-mqtt-bridge-") + QHostInfo::localHostName());
    username = source.value(QStringLiteral("username"), username);
    passwordFile = source.value(QStringLiteral("password-file"), passwordFile);
    tlsCaFile = source.value(QStringLiteral("tls-ca"), tlsCaFile);
    const uint metrics =
        source.value(QStringLiteral("metrics"), QString::number(metricsPort)).toUInt(&ok);
    if (!ok || metrics > 65535)
        return fail(QStringLiteral("--metrics takes the port of the server's metrics listener"));
    metricsPort = quint16(metrics);
    readOnly = source.flag(QStringLiteral("read-only"));
    homeAssistant = source.flag(QStringLiteral("home-assistant"));
    match = source.values(QStringLiteral("match"));
    writable = source.values(QStringLiteral("writable"));
    entitiesFile = source.value(QStringLiteral("entities"), entitiesFile);
    return true;
}

bool ORTVBridgeOptions::readPassword()
{
    if (passwordFile.isEmpty())
        return true;
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(passwordFile, file.errorString()));
    password = QString::fromUtf8(file.readLine())
                   .remove(QLatin1Char('\n'))
                   .remove(QLatin1Char('\r'));
    return true;
}

bool ORTVBridgeOptions::readEntityRules()
{
    entityRules.setWritable(writable);
    if (!entitiesFile.isEmpty() && !entityRules.load(entitiesFile))
        return fail(entityRules.error);
    return true;
}

bool ORTVBridgeOptions::fail(const QString &why)
{
    error = why;
    return false;
}

QString ORTVBridgeOptions::homeAssistantNode() const
{
    return homeAssistant ? ORTVHomeAssistant::nodeId(clientId) : QString();
}

ORTVKeyEntities ORTVBridgeOptions::keyEntities() const
{
    return ORTVKeyEntities(prefix, homeAssistantNode(), entityRules, !readOnly);
}
