#include "ORTVBrokerSync.h"
#include "ORTVMqttLink.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

namespace {

// Without the bridge's mark after this long with none of the broker's retained messages, or this
// long in all, every value is published again instead.
constexpr int collectionIdleMs = 5000;
constexpr int collectionMaxMs = 60000;

void warn(const QString &line)
{
    qWarning().noquote() << line;
}

} // namespace

ORTVBrokerSync::ORTVBrokerSync(ORTVMqttLink *link, ORTVRetainedMirror *mirror,
                               const QString &prefix, QObject *parent)
    : QObject(parent)
    , link(link)
    , mirror(mirror)
    , markTopic(prefix + QLatin1String("/bridge/sync"))
    , collectionTimer(new QTimer(this))
{
    collectionTimer->setInterval(1000);
    connect(collectionTimer, &QTimer::timeout, this, &ORTVBrokerSync::checkCollection);
    connect(link, &ORTVMqttLink::messageReceived, this, &ORTVBrokerSync::collect);
}

// The broker hands a new subscription the retained messages it holds, and MQTT has no mark for
// their end. So the bridge subscribes to its topics at QoS 0, then to a topic of its own, and
// publishes a message with a new random mark there at QoS 0: the broker handles one client's
// packets in order, puts the retained messages for the first subscription in that client's outgoing
// queue before it handles the publish, and sends that queue in order, so the mark comes back after
// the last retained message (Debian's mosquitto 2.0 does so however many it holds, and sends even
// a later SUBACK behind them). QoS 0 matters: at QoS 1 the broker sends only as many ahead
// of the acknowledgements as the client allows (20 with MQTT 3.1.1), queues a bounded number
// (1,000) and drops the rest, and a QoS 0 message overtakes its queue. With MQTT 5 the
// subscriptions ask for no-local, so the bridge's own publishes do not come back; with 3.1.1 they
// may, but not marked retained (only what the subscription found stored is), and only retained
// messages are collected. A mark that does not come (a broker that drops it) ends the collection
// after a bounded wait, and every value is published again as before.
void ORTVBrokerSync::start()
{
    brokerHolds.clear();
    mark = QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    bool subscribed = true;
    for (const QString &pattern : mirror->brokerPatterns())
        subscribed = subscribed && link->subscribe(pattern, 0, false);
    if (!subscribed || !link->subscribe(markTopic, 0)
        || !link->publish(markTopic, mark, 0, false)) {
        warn(QStringLiteral("cannot ask the broker what it holds (%1); publishing every value")
                 .arg(link->errorString()));
        publishEverything();
        return;
    }
    state = Collecting;
    collectionStarted.start();
    sinceCollected.start();
    collectionTimer->start();
}

void ORTVBrokerSync::abandon()
{
    collectionTimer->stop();
    brokerHolds.clear();
    state = InStep;
}

void ORTVBrokerSync::mirrorUpdated(const ORTVRetainedMirror::Operations &changes)
{
    if (state == InStep)
        emit publish(changes);
    else if (state == AwaitingRead)
        reconcile();
}

void ORTVBrokerSync::collect(const QString &topic, const QByteArray &payload, bool retained)
{
    if (state != Collecting)
        return;
    if (topic == markTopic) {
        if (payload != mark)
            return;
        stopCollection();
        if (mirror->knowsServer())
            reconcile();
        else
            state = AwaitingRead;
        return;
    }
    if (!retained || !mirror->owns(topic))
        return;
    sinceCollected.start();
    if (payload.isEmpty())
        brokerHolds.remove(topic);
    else
        brokerHolds.insert(topic, payload);
}

void ORTVBrokerSync::checkCollection()
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
    publishEverything();
}

void ORTVBrokerSync::stopCollection()
{
    collectionTimer->stop();
    const QStringList patterns = mirror->brokerPatterns() << markTopic;
    for (const QString &pattern : patterns) {
        if (!link->unsubscribe(pattern))
            warn(QStringLiteral("cannot unsubscribe from %1: %2")
                     .arg(pattern, link->errorString()));
    }
}

// What the broker lacks or holds wrongly goes, from the latest read: a value that changed while
// the broker's were collected is compared as it is now.
void ORTVBrokerSync::reconcile()
{
    state = InStep;
    emit publish(mirror->reconcile(brokerHolds));
    brokerHolds.clear();
}

void ORTVBrokerSync::publishEverything()
{
    state = InStep;
    emit publish(mirror->republish());
}
