#pragma once

#include "ORTVDataClient.h"
#include "ORTVHttpReader.h"

#include <QHash>
#include <QObject>
#include <QString>

class ORTVMqttLink;
class ORTVServerPoller;

// The wiring between the data server and the broker: values read from /Data go to
// PREFIX/data/KEY as retained messages when new or changed (all of them after each connect to
// the broker), keys gone from the server get their retained message cleared, and messages on
// PREFIX/set/KEY become SetData datagrams, one per pass of the link.
class ORTVMqttBridge : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString prefix = QStringLiteral("ortv");
        int qos = 1;
        bool readOnly = false;
        // Home Assistant discovery entries under this node id; none when empty.
        QString homeAssistantNode;
    };
    // Larger set payloads are refused with a warning.
    static constexpr qsizetype maxSetPayload = 60 * 1024;

    ORTVMqttBridge(const Settings &settings, ORTVMqttLink *link, ORTVServerPoller *poller,
                   ORTVDataClient *writer, QObject *parent = nullptr);

    QString dataTopic(const QString &key) const;
    QString bridgeTopic() const { return settings.prefix + QLatin1String("/bridge"); }

private:
    void brokerConnected();
    void serverStateChanged(bool up, const QString &reason);
    void dataRead(const ORTVHttpReader::Values &values);
    void messageReceived(const QString &topic, const QByteArray &payload);
    void flushWrites();
    void publishValue(const QString &key, const QString &value, bool announce);
    void clearValue(const QString &key);
    void publishServerState();

    Settings settings;
    ORTVMqttLink *link = nullptr;
    ORTVDataClient *writer = nullptr;
    QString setPrefix;
    // What the broker holds as far as this bridge knows: the values published since it connected.
    QHash<QString, QString> published;
    bool publishAll = true;
    enum ServerState { Unknown, Up, Down } serverState = Unknown;
    QList<ORTVDataClient::Entry> pendingWrites;
};
