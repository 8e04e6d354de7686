#pragma once

#include "ORTVRetainedMirror.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

class ORTVMqttLink;
class QTimer;

// Brings a broker that the bridge has just connected to in step with the mirror: collects the
// retained messages it holds of the mirror's topics, then hands over what it lacks or holds
// wrongly once a read of /Data is known. Meanwhile the mirror's changes wait in the mirror;
// once in step they go on as they come.
class ORTVBrokerSync : public QObject
{
    Q_OBJECT

public:
    ORTVBrokerSync(ORTVMqttLink *link, ORTVRetainedMirror *mirror, const QString &prefix,
                   QObject *parent = nullptr);

    // After each connect.
    void start();
    // After the connection is lost.
    void abandon();
    // What a read of /Data changed in the mirror.
    void mirrorUpdated(const ORTVRetainedMirror::Operations &changes);

signals:
    // Messages for the broker.
    void publish(const ORTVRetainedMirror::Operations &operations);

private:
    void collect(const QString &topic, const QByteArray &payload, bool retained);
    void checkCollection();
    void stopCollection();
    void reconcile();
    void publishEverything();

    ORTVMqttLink *link = nullptr;
    ORTVRetainedMirror *mirror = nullptr;
    // What the broker holds of the mirror's topics is being collected, or is collected and waits
    // for the first read of /Data (kept while the server does not answer), or the broker is in
    // step.
    enum State { Collecting, AwaitingRead, InStep } state = InStep;
    QHash<QString, QByteArray> brokerHolds;
    QString markTopic;
    QByteArray mark;
    QTimer *collectionTimer = nullptr;
    QElapsedTimer collectionStarted;
    QElapsedTimer sinceCollected;
};
