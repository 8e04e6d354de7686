#include "ORTVMqttBridge.h"

#include "ORTVConfirmedWriter.h"
#include "ORTVServerPoller.h"
#include "ORTVTopicCodec.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTimer>

namespace {

void warn(const QString &line)
{
    qWarning().noquote() << line;
}

} // namespace

ORTVMqttBridge::ORTVMqttBridge(const Settings &settings, ORTVMqttLink *link,
                               ORTVServerPoller *poller, ORTVConfirmedWriter *writer,
                               QObject *parent)
    : QObject(parent)
    , settings(settings)
    , link(link)
    , poller(poller)
    , writer(writer)
    , setPrefix(settings.prefix + QLatin1String("/set/"))
    , mirror(settings.prefix, settings.homeAssistantNode)
    , markTopic(settings.prefix + QLatin1String("/bridge/sync"))
    , collectionTimer(new QTimer(this))
{
    collectionTimer->setInterval(1000);
    connect(collectionTimer, &QTimer::timeout, this, &ORTVMqttBridge::checkCollection);
    connect(link, &ORTVMqttLink::stateChanged, this, &ORTVMqttBridge::linkStateChanged);
    connect(link, &ORTVMqttLink::messageReceived, this, &ORTVMqttBridge::messageReceived);
    connect(link, &ORTVMqttLink::passEnded, this, &ORTVMqttBridge::drain);
    connect(poller, &ORTVServerPoller::dataRead, this, &ORTVMqttBridge::dataRead);
    connect(poller, &ORTVServerPoller::serverStateChanged, this,
            &ORTVMqttBridge::serverStateChanged);
    connect(writer, &ORTVConfirmedWriter::gaveUp, this, [](const QStringList &keys) {
        warn(QStringLiteral("gave up %1 writes the server did not confirm after %2 tries: %3")
                 .arg(keys.size()).arg(ORTVConfirmedWriter::maxTries)
                 .arg(keys.join(QLatin1String(", "))));
    });
}

// A broker that comes back may have kept its retained messages (persistence), lost them
// (restarted without) or kept older ones (saved a while before it was killed): the state topics go
// at once, the values once it is known what the broker holds (startCollection()). What waited for
// the old connection is dropped: the new one starts from what the broker holds.
void ORTVMqttBridge::linkStateChanged(ORTVMqttLink::State state)
{
    if (state != ORTVMqttLink::ConnectedState) {
        queue.clear();
        collectionTimer->stop();
        brokerHolds.clear();
        syncState = InStep;
        return;
    }
    retainedTold.clear();
    publishRetained(bridgeTopic(), QByteArrayLiteral("online"));
    publishServerState();
    if (!settings.readOnly && !link->subscribe(setPrefix + QLatin1Char('#'), settings.qos))
        warn(QStringLiteral("cannot subscribe to %1#: %2").arg(setPrefix, link->errorString()));
    startCollection();
    // The values compared at the end are the server's of now, not of the last read before the
    // loss.
    poller->readSoon();
}

// The broker hands a new subscription the retained messages it holds, and MQTT has no mark for
// their end. So the bridge subscribes to its topics at QoS 0, then to a topic of its own, and
// publishes a message with a new random mark there at QoS 0: the broker handles one client's
// packets in order, puts the retained messages for the first subscription in that client's outgoing
// queue before it handles the publish, and sends that queue in order, so the mark comes back after
// the last retained message (Debian's mosquitto 2.0 sent 50,000 that way, none dropped, the mark
// and even a later SUBACK behind them). QoS 0 matters: at QoS 1 the broker sends only as many ahead
// of the acknowledgements as the client allows (20 with MQTT 3.1.1), queues a bounded number
// (1,000) and drops the rest, and a QoS 0 message overtakes its queue. With MQTT 5 the
// subscriptions ask for no-local, so the bridge's own publishes do not come back; with 3.1.1 they
// may, but not marked retained (only what the subscription found stored is), and only retained
// messages are collected. A mark that does not come (a broker that drops it) ends the collection
// after a bounded wait, and every value is published again as before.
void ORTVMqttBridge::startCollection()
{
    brokerHolds.clear();
    mark = QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    bool subscribed = true;
    for (const QString &pattern : mirror.brokerPatterns())
        subscribed = subscribed && link->subscribe(pattern, 0, false);
    if (!subscribed || !link->subscribe(markTopic, 0)
        || !link->publish(markTopic, mark, 0, false)) {
        warn(QStringLiteral("cannot ask the broker what it holds (%1); publishing every value")
                 .arg(link->errorString()));
        syncState = InStep;
        queueAll(mirror.republish());
        return;
    }
    syncState = Collecting;
    collectionStarted.start();
    sinceCollected.start();
    collectionTimer->start();
}

void ORTVMqttBridge::collect(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == markTopic) {
        if (payload != mark)
            return;
        stopCollection();
        if (mirror.knowsServer())
            reconcile();
        else
            syncState = AwaitingRead;
        return;
    }
    if (!retained || !mirror.owns(topic))
        return;
    sinceCollected.start();
    if (payload.isEmpty())
        brokerHolds.remove(topic);
    else
        brokerHolds.insert(topic, payload);
}

void ORTVMqttBridge::checkCollection()
{
    if (sinceCollected.elapsed() < collectionIdleMs
        && collectionStarted.elapsed() < collectionMaxMs) {
        return;
    }
    warn(QStringLiteral("the broker's retained messages did not end within %1 s (%2 so far); "
                        "publishing every value")
             .arg(collectionStarted.elapsed() / 1000).arg(brokerHolds.size()));
    stopCollection();
    brokerHolds.clear();
    syncState = InStep;
    queueAll(mirror.republish());
}

void ORTVMqttBridge::stopCollection()
{
    collectionTimer->stop();
    const QStringList patterns = mirror.brokerPatterns() << markTopic;
    for (const QString &pattern : patterns) {
        if (!link->unsubscribe(pattern))
            warn(QStringLiteral("cannot unsubscribe from %1: %2")
                     .arg(pattern, link->errorString()));
    }
}

// What the broker lacks or holds wrongly goes, from the latest read: a value that changed while
// the broker's were collected is compared as it is now.
void ORTVMqttBridge::reconcile()
{
    syncState = InStep;
    queueAll(mirror.reconcile(brokerHolds));
    brokerHolds.clear();
}

void ORTVMqttBridge::serverStateChanged(bool up, const QString &reason)
{
    serverState = up ? Up : Down;
    serverReason = reason;
    publishServerState();
}

void ORTVMqttBridge::publishServerState()
{
    if (serverState == Unknown)
        return;
    const QString topic = settings.prefix + QLatin1String("/server");
    // The reason goes first: a subscriber that sees `down` finds why already there.
    publishRetained(topic + QLatin1String("/reason"), serverReason.toUtf8());
    publishRetained(topic, serverState == Up ? QByteArrayLiteral("up") : QByteArrayLiteral("down"));
}

void ORTVMqttBridge::publishRetained(const QString &topic, const QByteArray &payload, int qos)
{
    if (!link->isConnected())
        return;
    queue.put(topic, payload, qos);
    drain();
}

void ORTVMqttBridge::dataRead(const ORTVHttpReader::Values &values)
{
    // Without a broker nothing is published; the next connection compares everything anyway.
    // While the broker's retained messages are collected, the mirror takes the read and the
    // comparison at the end sends it.
    if (!link->isConnected())
        return;
    const ORTVRetainedMirror::Operations operations = mirror.update(values);
    if (syncState == InStep)
        queueAll(operations);
    else if (syncState == AwaitingRead)
        reconcile();
}

void ORTVMqttBridge::queueAll(const ORTVRetainedMirror::Operations &operations)
{
    for (const ORTVRetainedMirror::Operation &operation : operations)
        queue.put(operation.topic, operation.payload, settings.qos);
    drain();
}

void ORTVMqttBridge::drain()
{
    while (!queue.isEmpty() && link->isConnected() && link->unfinished() < maxUnfinished) {
        const ORTVPublishQueue::Message message = queue.take();
        if (!link->publish(message.topic, message.payload, message.qos, true) && link->isConnected())
            warn(QStringLiteral("cannot publish on %1: %2").arg(message.topic, link->errorString()));
    }
}

void ORTVMqttBridge::messageReceived(const QString &topic, const QByteArray &payload,
                                     bool retained)
{
    if (syncState == Collecting && !topic.startsWith(setPrefix)) {
        collect(topic, payload, retained);
        return;
    }
    if (!topic.startsWith(setPrefix))
        return;
    // A retained command would be applied again on every connection, rolling the value back
    // to it; its removal (an empty retained message) is no command either.
    if (retained) {
        if (!payload.isEmpty() && !retainedTold.contains(topic)) {
            retainedTold.insert(topic);
            warn(QStringLiteral("skipped a retained command on %1: commands are not kept; "
                                "publish without retain").arg(topic));
        }
        return;
    }
    const std::optional<QString> key = ORTVTopicCodec::decode(topic.mid(setPrefix.size()));
    if (!key) {
        warn(QStringLiteral("skipped a message on %1: the topic names no key").arg(topic));
        return;
    }
    if (payload.size() > maxSetPayload) {
        warn(QStringLiteral("skipped a message on %1: %2 bytes, more than %3")
                 .arg(topic).arg(payload.size()).arg(maxSetPayload));
        return;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString value = decoder(payload);
    if (decoder.hasError()) {
        warn(QStringLiteral("skipped a message on %1: not UTF-8 text").arg(topic));
        return;
    }
    writer->write(*key, value);
}
