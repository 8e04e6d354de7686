#pragma once

#include "ORTVBridgeOptions.h"
#include "ORTVHttpReader.h"
#include "ORTVKeySelection.h"
#include "ORTVMqttLink.h"
#include "ORTVPublishQueue.h"
#include "ORTVRetainedMirror.h"

#include <QObject>
#include <QSet>
#include <QString>

class ORTVBrokerSync;
class ORTVConfirmedWriter;
class ORTVServerPoller;

// The wiring between the data server and the broker: values read from /Data go to
// PREFIX/data/KEY as retained messages when new or changed (after each connect to the broker,
// those it lacks or holds wrongly: ORTVBrokerSync), keys gone from the server get their retained
// message cleared, and messages on PREFIX/set/KEY become confirmed writes; with --match, only for
// the keys it selects. What goes to the
// broker waits in a queue that keeps one message per topic, and is handed to the connection
// while fewer than a bound of messages are unacknowledged there.
class ORTVMqttBridge : public QObject
{
    Q_OBJECT

public:
    // Messages handed to the connection and not yet acknowledged, at most.
    static constexpr qsizetype maxUnfinished = 1000;

    // Sets the link's will: the bridge topic says offline when the connection ends without a
    // goodbye.
    ORTVMqttBridge(const ORTVBridgeOptions &options, ORTVMqttLink *link, ORTVServerPoller *poller,
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

    ORTVBridgeOptions options;
    ORTVMqttLink *link = nullptr;
    ORTVServerPoller *poller = nullptr;
    ORTVConfirmedWriter *writer = nullptr;
    QString setPrefix;
    ORTVKeySelection selection;
    ORTVRetainedMirror mirror;
    ORTVBrokerSync *sync = nullptr;
    ORTVPublishQueue queue;
    // Topics whose retained command was told about on this connection.
    QSet<QString> retainedTold;
    enum ServerState { Unknown, Up, Down } serverState = Unknown;
    QString serverReason;
};
