#include "ORTVMqttBridge.h"

#include "ORTVConfirmedWriter.h"
#include "ORTVServerPoller.h"
#include "ORTVTopicCodec.h"

#include <QDebug>
#include <QStringDecoder>

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
    , writer(writer)
    , setPrefix(settings.prefix + QLatin1String("/set/"))
    , mirror(settings.prefix, settings.homeAssistantNode)
{
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

// A broker that comes back may have lost its retained messages (restarted without persistence),
// so the state topics and every value go again at once, without waiting for the next read. What
// waited for the old connection is dropped: it is all in that.
void ORTVMqttBridge::linkStateChanged(ORTVMqttLink::State state)
{
    if (state != ORTVMqttLink::ConnectedState) {
        queue.clear();
        return;
    }
    retainedTold.clear();
    publishRetained(bridgeTopic(), QByteArrayLiteral("online"));
    publishServerState();
    if (!settings.readOnly && !link->subscribe(setPrefix + QLatin1Char('#'), settings.qos))
        warn(QStringLiteral("cannot subscribe to %1#: %2").arg(setPrefix, link->errorString()));
    queueAll(mirror.republish());
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
    // Without a broker nothing is published; the next connection publishes everything anyway.
    if (!link->isConnected())
        return;
    queueAll(mirror.update(values));
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
