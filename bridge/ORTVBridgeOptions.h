#pragma once

#include "ORTVEntityRules.h"
#include "ORTVKeyEntities.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The bridge's settings from its command line, each also from an environment variable
// (ORTV_BRIDGE_ and the option's name in capitals, '-' as '_': --broker-port is
// ORTV_BRIDGE_BROKER_PORT) for a service unit; the command line wins. The initial values are
// the defaults, which the --help text shows.
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
    // The first line of the password file.
    QString password;
    QString tlsCaFile;
    bool readOnly = false;
    bool homeAssistant = false;
    // --match: the keys bridged at all (every key when empty); --writable and --entities: how
    // keys appear in Home Assistant.
    QStringList match;
    QStringList writable;
    QString entitiesFile;
    ORTVEntityRules entityRules;
    // Port of the server's metrics listener to relay a few figures from; 0: none.
    quint16 metricsPort = 0;

    // False with `error` set for an unknown option, a value that does not fit its option or a
    // password file that cannot be read. Exits for --help and --version, like
    // QCommandLineParser::process.
    bool parse(const QStringList &arguments, const QProcessEnvironment &environment);
    QString error;

    // The node id of the Home Assistant discovery entries; empty without --home-assistant.
    QString homeAssistantNode() const;
    // The keys' Home Assistant entities; disabled without --home-assistant.
    ORTVKeyEntities keyEntities() const;

private:
    void addOptions(QCommandLineParser &parser) const;
    bool take(const QCommandLineParser &parser, const QProcessEnvironment &environment);
    bool readPassword();
    bool readEntityRules();
    bool fail(const QString &why);
};
