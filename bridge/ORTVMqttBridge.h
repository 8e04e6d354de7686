#pragma once

#include "ORTVHttpReader.h"
#include "ORTVMqttLink.h"
#include "ORTVPublishQueue.h"
#include "ORTVRetainedMirror.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class ORTVConfirmedWriter;
class ORTVServerPoller;
class QTimer;

// The wiring between the data server and the broker: values read from /Data go to
// PREFIX/data/KEY as retained messages when new or changed (after each connect to the broker,
// those it lacks or holds wrongly), keys gone from the server get their retained message cleared,
// and messages on PREFIX/set/KEY become confirmed writes. What goes to the broker waits in a
// queue that keeps one message per topic, and is handed to the connection while fewer than a
// bound of messages are unacknowledged there.
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
    // Messages handed to the connection and not yet acknowledged, at most.
    static constexpr qsizetype maxUnfinished = 1000;
    // After a connect, the broker's retained messages are collected until the bridge's mark comes
    // back; without it after this long with none of them, or this long in all, every value is
    // published again instead.
    static constexpr int collectionIdleMs = 5000;
    static constexpr int collectionMaxMs = 60000;

    ORTVMqttBridge(const Settings &settings, ORTVMqttLink *link, ORTVServerPoller *poller,
                   ORTVConfirmedWriter *writer, QObject *parent = nullptr);

    QString bridgeTopic() const { return mirror.bridgeTopic(); }
    // Queues a retained message for the broker (dropped while not connected: every connection
    // starts with the whole state again).
    void publishRetained(const QString &topic, const QByteArray &payload, int qos = 1);

private:
    void linkStateChanged(ORTVMqttLink::State state);
    void serverStateChanged(bool up, const QString &reason);
    void dataRead(const ORTVHttpReader::Values &values);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    void publishServerState();
    void queueAll(const ORTVRetainedMirror::Operations &operations);
    void drain();
    void startCollection();
    void collect(const QString &topic, const QByteArray &payload, bool retained);
    void checkCollection();
    void stopCollection();
    void reconcile();

    Settings settings;
    ORTVMqttLink *link = nullptr;
    ORTVServerPoller *poller = nullptr;
    ORTVConfirmedWriter *writer = nullptr;
    QString setPrefix;
    ORTVRetainedMirror mirror;
    ORTVPublishQueue queue;
    // Topics whose retained command was told about on this connection.
    QSet<QString> retainedTold;
    enum ServerState { Unknown, Up, Down } serverState = Unknown;
    QString serverReason;
    // After a connect: what the broker holds of the mirror's topics is being collected, or is
    // collected and waits for the first read of /Data (kept while the server does not answer),
    // or the broker is in step.
    enum SyncState { Collecting, AwaitingRead, InStep } syncState = InStep;
    QHash<QString, QByteArray> brokerHolds;
    QString markTopic;
    QByteArray mark;
    QTimer *collectionTimer = nullptr;
    QElapsedTimer collectionStarted;
    QElapsedTimer sinceCollected;
};
