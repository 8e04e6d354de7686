#include "ORTVRetainedMirror.h"

#include "ORTVHomeAssistant.h"
#include "ORTVTopicCodec.h"

#include <QSet>

ORTVRetainedMirror::ORTVRetainedMirror(const QString &prefix, const QString &homeAssistantNode)
    : prefix(prefix)
    , dataPrefix(prefix + QLatin1String("/data/"))
    , homeAssistantNode(homeAssistantNode)
{
}

QString ORTVRetainedMirror::dataTopic(const QString &key) const
{
    return dataPrefix + ORTVTopicCodec::encode(key);
}

ORTVRetainedMirror::Operations ORTVRetainedMirror::update(const ORTVHttpReader::Values &values)
{
    hasRead = true;
    Operations out;
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
        QStringList vanished;
        for (auto it = published.cbegin(); it != published.cend(); ++it) {
            if (!present.contains(it.key()))
                vanished.append(it.key());
        }
        // In a fixed order, not the hash's.
        vanished.sort();
        for (const QString &key : std::as_const(vanished))
            clear(out, key);
    }
    for (const auto &[key, value] : values) {
        const auto known = published.constFind(key);
        const bool isNew = known == published.constEnd();
        if (isNew || *known != value)
            publish(out, key, value, isNew);
    }
    return out;
}

ORTVRetainedMirror::Operations ORTVRetainedMirror::republish()
{
    Operations out;
    QStringList keys = published.keys();
    keys.sort();
    for (const QString &key : std::as_const(keys))
        publish(out, key, published.value(key), true);
    return out;
}

QStringList ORTVRetainedMirror::brokerPatterns() const
{
    QStringList patterns{prefix + QLatin1String("/data/#")};
    if (!homeAssistantNode.isEmpty()) {
        patterns.append(QStringLiteral("%1/sensor/%2/+/config")
                            .arg(QLatin1String(ORTVHomeAssistant::discoveryPrefix),
                                 homeAssistantNode));
    }
    return patterns;
}

bool ORTVRetainedMirror::owns(const QString &topic) const
{
    return topic.startsWith(dataPrefix)
        || (!homeAssistantNode.isEmpty()
            && ORTVHomeAssistant::isKeyConfigTopic(homeAssistantNode, topic));
}

ORTVRetainedMirror::Operations
ORTVRetainedMirror::reconcile(const QHash<QString, QByteArray> &brokerHolds) const
{
    const bool announce = !homeAssistantNode.isEmpty();
    // What the broker lacks or holds differently, and how many of the topics the mirror wants
    // it holds. A key whose value is empty has no retained message.
    QStringList lacking;
    qsizetype wantedHeld = 0;
    for (auto it = published.cbegin(); it != published.cend(); ++it) {
        const QByteArray value = it.value().toUtf8();
        const auto held = value.isEmpty() ? brokerHolds.cend()
                                          : brokerHolds.constFind(dataTopic(it.key()));
        wantedHeld += held != brokerHolds.cend();
        bool lacks = !value.isEmpty() && (held == brokerHolds.cend() || *held != value);
        if (announce) {
            const auto entry = brokerHolds.constFind(configTopic(it.key()));
            wantedHeld += entry != brokerHolds.cend();
            lacks = lacks || entry == brokerHolds.cend() || *entry != config(it.key());
        }
        if (lacks)
            lacking.append(it.key());
    }
    // Owned topics beyond those are held in excess; looked for only when there are any.
    QStringList excess;
    qsizetype ownedHeld = 0;
    for (auto it = brokerHolds.cbegin(); it != brokerHolds.cend(); ++it)
        ownedHeld += !it.value().isEmpty() && owns(it.key());
    if (ownedHeld > wantedHeld) {
        QSet<QString> wantedEntries;
        for (auto it = published.cbegin(); announce && it != published.cend(); ++it)
            wantedEntries.insert(configTopic(it.key()));
        for (auto it = brokerHolds.cbegin(); it != brokerHolds.cend(); ++it) {
            if (it.value().isEmpty() || !owns(it.key()))
                continue;
            bool wanted = wantedEntries.contains(it.key());
            if (it.key().startsWith(dataPrefix)) {
                // A topic that is not the key's own spelling (%2b for %2B) is no key's.
                const std::optional<QString> key =
                    ORTVTopicCodec::decode(it.key().mid(dataPrefix.size()));
                wanted = key && !published.value(*key).isEmpty() && dataTopic(*key) == it.key();
            }
            if (!wanted)
                excess.append(it.key());
        }
    }
    // In a fixed order, not the hash's; clears first, as in update().
    excess.sort();
    lacking.sort();
    Operations out;
    for (const QString &topic : std::as_const(excess))
        out.append({topic, QByteArray()});
    for (const QString &key : std::as_const(lacking)) {
        const QString topic = dataTopic(key);
        const QByteArray value = published.value(key).toUtf8();
        if (!value.isEmpty() && brokerHolds.value(topic) != value)
            out.append({topic, value});
        if (announce && brokerHolds.value(configTopic(key)) != config(key))
            out.append({configTopic(key), config(key)});
    }
    return out;
}

QString ORTVRetainedMirror::configTopic(const QString &key) const
{
    return ORTVHomeAssistant::configTopic(homeAssistantNode, key);
}

QByteArray ORTVRetainedMirror::config(const QString &key) const
{
    return ORTVHomeAssistant::config(homeAssistantNode, key, dataTopic(key), bridgeTopic());
}

void ORTVRetainedMirror::publish(Operations &out, const QString &key, const QString &value,
                                 bool announce)
{
    published.insert(key, value);
    const QString topic = dataTopic(key);
    out.append({topic, value.toUtf8()});
    if (announce && !homeAssistantNode.isEmpty()) {
        out.append({configTopic(key), config(key)});
    }
}

void ORTVRetainedMirror::clear(Operations &out, const QString &key)
{
    published.remove(key);
    // An empty retained message removes the retained one.
    out.append({dataTopic(key), QByteArray()});
    if (!homeAssistantNode.isEmpty())
        out.append({configTopic(key), QByteArray()});
}
