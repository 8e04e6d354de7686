#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The bridge's settings from its command line, each also from an environment variable
// (ORTV_BRIDGE_ and the option's name in capitals, '-' as '_': --broker-port is
// ORTV_BRIDGE_BROKER_PORT) for a service unit; the command line wins.
class ORTVBridgeOptions
{
public:
    QString server = QStringLiteral("127.0.0.1");
    QString broker = QStringLiteral("127.0.0.1");
    quint16 brokerPort = 1883;
    QString prefix = QStringLiteral("ortv");
    int intervalMs = 1000;
    int timeoutMs = 2000;
    int keepAliveSeconds = 30;
    int qos = 1;
    QString clientId;
    QString username;
    QString passwordFile;
    QString tlsCaFile;
    bool readOnly = false;
    bool homeAssistant = false;
    // Port of the server's metrics listener to relay a few figures from; 0: none.
    quint16 metricsPort = 0;

    // False with `error` set for an unknown option or a value that does not fit its option.
    // Exits for --help and --version, like QCommandLineParser::process.
    bool parse(const QStringList &arguments, const QProcessEnvironment &environment);
    QString error;
};
