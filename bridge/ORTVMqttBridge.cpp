#include "ORTVMqttBridge.h"

#include "ORTVHomeAssistant.h"
#include "ORTVMqttLink.h"
#include "ORTVServerPoller.h"
#include "ORTVSetDatagrams.h"
#include "ORTVTopicCodec.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSet>
#include <QStringDecoder>

namespace {

constexpr int catchUpMs = 5;

void warn(const QString &line)
{
    qWarning().noquote() << line;
}

} // namespace

ORTVMqttBridge::ORTVMqttBridge(const Settings &settings, ORTVMqttLink *link,
                               ORTVServerPoller *poller, ORTVDataClient *writer, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , link(link)
    , writer(writer)
    , setPrefix(settings.prefix + QLatin1String("/set/"))
{
    connect(link, &ORTVMqttLink::connected, this, &ORTVMqttBridge::brokerConnected);
    connect(link, &ORTVMqttLink::messageReceived, this, &ORTVMqttBridge::messageReceived);
    connect(link, &ORTVMqttLink::readPassEnded, this, &ORTVMqttBridge::flushWrites);
    connect(poller, &ORTVServerPoller::dataRead, this, &ORTVMqttBridge::dataRead);
    connect(poller, &ORTVServerPoller::serverStateChanged, this,
            &ORTVMqttBridge::serverStateChanged);
}

QString ORTVMqttBridge::dataTopic(const QString &key) const
{
    return settings.prefix + QLatin1String("/data/") + ORTVTopicCodec::encode(key);
}

// A broker that comes back may have lost its retained messages (restarted without persistence),
// so everything is published again on the next read, and the state topics now.
void ORTVMqttBridge::brokerConnected()
{
    publishAll = true;
    link->publish(bridgeTopic(), QByteArrayLiteral("online"), 1, true);
    publishServerState();
    if (!settings.readOnly && !link->subscribe(setPrefix + QLatin1Char('#'), settings.qos))
        warn(QStringLiteral("cannot subscribe to %1#: %2").arg(setPrefix, link->errorString()));
}

void ORTVMqttBridge::serverStateChanged(bool up, const QString &reason)
{
    serverState = up ? Up : Down;
    if (up)
        qInfo().noquote() << "data server answers";
    else
        qInfo().noquote() << QStringLiteral("data server down (%1); retrying until it answers")
                                 .arg(reason);
    publishServerState();
}

void ORTVMqttBridge::publishServerState()
{
    if (serverState != Unknown && link->isConnected()) {
        link->publish(settings.prefix + QLatin1String("/server"),
                      serverState == Up ? QByteArrayLiteral("up") : QByteArrayLiteral("down"), 1,
                      true);
    }
}

void ORTVMqttBridge::dataRead(const ORTVHttpReader::Values &values)
{
    // Without a broker nothing is published; the next connection publishes everything anyway.
    if (!link->isConnected())
        return;
    // Keys the server no longer holds (it restarted) go first, so that a subscriber never sees
    // a value of this read while an older, vanished key is still retained: the broker handles
    // one client's messages in order.
    qsizetype stillHeld = 0;
    for (const auto &entry : values)
        stillHeld += published.contains(entry.first);
    if (stillHeld < published.size()) {
        QSet<QString> present;
        present.reserve(values.size());
        for (const auto &entry : values)
            present.insert(entry.first);
        const QList<QString> keys = published.keys();
        for (const QString &key : keys) {
            if (!present.contains(key))
                clearValue(key);
        }
    }
    // A large store takes a while: the set/ messages that arrive meanwhile are taken in (and
    // acknowledged) every few milliseconds, or the broker would queue and at last drop them.
    QElapsedTimer sinceCatchUp;
    sinceCatchUp.start();
    qsizetype done = 0;
    for (const auto &[key, value] : values) {
        const auto known = published.constFind(key);
        const bool isNew = known == published.constEnd();
        if (publishAll || isNew || *known != value)
            publishValue(key, value, publishAll || isNew);
        if (++done % 512 == 0 && sinceCatchUp.elapsed() >= catchUpMs) {
            link->catchUp();
            // The connection may have ended there; the next one publishes everything anyway.
            if (!link->isConnected())
                return;
            sinceCatchUp.start();
        }
    }
    publishAll = false;
}

void ORTVMqttBridge::publishValue(const QString &key, const QString &value, bool announce)
{
    published.insert(key, value);
    const QString topic = dataTopic(key);
    if (!link->publish(topic, value.toUtf8(), settings.qos, true)) {
        warn(QStringLiteral("cannot publish the key %1: %2").arg(key, link->errorString()));
        return;
    }
    if (announce && !settings.homeAssistantNode.isEmpty()) {
        link->publish(ORTVHomeAssistant::configTopic(settings.homeAssistantNode, key),
                      ORTVHomeAssistant::config(settings.homeAssistantNode, key, topic,
                                                bridgeTopic()),
                      settings.qos, true);
    }
}

void ORTVMqttBridge::clearValue(const QString &key)
{
    published.remove(key);
    // An empty retained message removes the retained one.
    link->publish(dataTopic(key), QByteArray(), settings.qos, true);
    if (!settings.homeAssistantNode.isEmpty()) {
        link->publish(ORTVHomeAssistant::configTopic(settings.homeAssistantNode, key), QByteArray(),
                      settings.qos, true);
    }
}

void ORTVMqttBridge::messageReceived(const QString &topic, const QByteArray &payload)
{
    if (!topic.startsWith(setPrefix))
        return;
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
    pendingWrites.append({*key, value});
}

// The writes of one pass go in as few datagrams as they fit, from the writer's one socket.
void ORTVMqttBridge::flushWrites()
{
    if (pendingWrites.isEmpty())
        return;
    QList<ORTVDataClient::Entry> tooLarge;
    const QList<QList<ORTVDataClient::Entry>> parts = ORTVSetDatagrams::split(pendingWrites,
                                                                             &tooLarge);
    pendingWrites.clear();
    for (const ORTVDataClient::Entry &entry : std::as_const(tooLarge)) {
        warn(QStringLiteral("skipped a value for %1: its SetData does not fit in one datagram")
                 .arg(entry.url));
    }
    for (const auto &part : parts) {
        if (!writer->send(part))
            warn(QStringLiteral("cannot send %1 values to the server: %2")
                     .arg(part.size()).arg(writer->errorString()));
    }
}
