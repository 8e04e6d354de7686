#include "ORTVMqttBridge.h"

#include "ORTVBrokerSync.h"
#include "ORTVConfirmedWriter.h"
#include "ORTVServerPoller.h"
#include "ORTVSetCommand.h"

#include <QDebug>

namespace {

void warn(const QString &line)
{
    qWarning().noquote() << line;
}

} // namespace

ORTVMqttBridge::ORTVMqttBridge(const ORTVBridgeOptions &options, ORTVMqttLink *link,
                               ORTVServerPoller *poller, ORTVConfirmedWriter *writer,
                               QObject *parent)
    : QObject(parent)
    , options(options)
    , link(link)
    , poller(poller)
    , writer(writer)
    , setPrefix(options.prefix + QLatin1String("/set/"))
    , selection(options.match)
    , mirror(options.prefix, options.keyEntities())
    , sync(new ORTVBrokerSync(link, &mirror, options.prefix, this))
{
    link->setWill(bridgeTopic(), QByteArrayLiteral("offline"));
    connect(link, &ORTVMqttLink::stateChanged, this, &ORTVMqttBridge::linkStateChanged);
    connect(link, &ORTVMqttLink::messageReceived, this, &ORTVMqttBridge::messageReceived);
    connect(link, &ORTVMqttLink::passEnded, this, &ORTVMqttBridge::drain);
    connect(sync, &ORTVBrokerSync::publish, this, &ORTVMqttBridge::queueAll);
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
// at once, the values once it is known what the broker holds. What waited for the old connection
// is dropped: the new one starts from what the broker holds.
void ORTVMqttBridge::linkStateChanged(ORTVMqttLink::State state)
{
    if (state != ORTVMqttLink::ConnectedState) {
        queue.clear();
        sync->abandon();
        return;
    }
    retainedTold.clear();
    publishRetained(bridgeTopic(), QByteArrayLiteral("online"));
    publishServerState();
    if (!options.readOnly && !link->subscribe(setPrefix + QLatin1Char('#'), options.qos))
        warn(QStringLiteral("cannot subscribe to %1#: %2").arg(setPrefix, link->errorString()));
    sync->start();
    // The values compared at the end are the server's of now, not of the last read before the
    // loss.
    poller->readSoon();
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
    const QString topic = options.prefix + QLatin1String("/server");
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

// Without a broker nothing is published; the next connection compares everything anyway.
void ORTVMqttBridge::dataRead(const ORTVHttpReader::Values &values)
{
    if (link->isConnected())
        sync->mirrorUpdated(mirror.update(selection.selected(values)));
}

void ORTVMqttBridge::queueAll(const ORTVRetainedMirror::Operations &operations)
{
    for (const ORTVRetainedMirror::Operation &operation : operations)
        queue.put(operation.topic, operation.payload, options.qos);
    drain();
}

void ORTVMqttBridge::drain()
{
    while (!queue.isEmpty() && link->isConnected() && link->unfinished() < maxUnfinished) {
        const ORTVPublishQueue::Message message = queue.take();
        if (!link->publish(message.topic, message.payload, message.qos, true)
            && link->isConnected()) {
            warn(QStringLiteral("cannot publish on %1: %2")
                     .arg(message.topic, link->errorString()));
        }
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
    const ORTVSetCommand command =
        ORTVSetCommand::read(topic, QStringView(topic).mid(setPrefix.size()), payload);
    if (!command.isWrite())
        warn(command.refusal);
    else if (!selection.selects(command.key))
        warn(QStringLiteral("skipped a message on %1: --match takes no such key").arg(topic));
    else
        writer->write(command.key, command.value);
}
