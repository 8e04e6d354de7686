#include "ORTVRetainedMirror.h"

#include "ORTVHomeAssistant.h"
#include "ORTVTopicCodec.h"

#include <QSet>

ORTVRetainedMirror::ORTVRetainedMirror(const QString &prefix, const QString &homeAssistantNode)
    : prefix(prefix)
    , homeAssistantNode(homeAssistantNode)
{
}

QString ORTVRetainedMirror::dataTopic(const QString &key) const
{
    return prefix + QLatin1String("/data/") + ORTVTopicCodec::encode(key);
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
                            .arg(QLatin1String(ORTVHomeAssistant::discoveryPrefix), homeAssistantNode));
    }
    return patterns;
}

bool ORTVRetainedMirror::owns(const QString &topic) const
{
    return topic.startsWith(prefix + QLatin1String("/data/"))
        || (!homeAssistantNode.isEmpty()
            && ORTVHomeAssistant::isKeyConfigTopic(homeAssistantNode, topic));
}

ORTVRetainedMirror::Operations
ORTVRetainedMirror::reconcile(const QHash<QString, QByteArray> &brokerHolds) const
{
    const bool announce = !homeAssistantNode.isEmpty();
    QStringList keys = published.keys();
    keys.sort();
    // The discovery entries the mirror wants, to find those the broker holds in excess (a data
    // topic tells its key).
    QSet<QString> wantedEntries;
    if (announce) {
        wantedEntries.reserve(keys.size());
        for (const QString &key : std::as_const(keys))
            wantedEntries.insert(configTopic(key));
    }
    const QString dataPrefix = prefix + QLatin1String("/data/");
    const auto wanted = [&](const QString &topic) {
        if (!topic.startsWith(dataPrefix))
            return wantedEntries.contains(topic);
        // A key whose value is empty has no retained message; a topic that is not the key's
        // own spelling (%2b for %2B) is no key's.
        const std::optional<QString> key = ORTVTopicCodec::decode(topic.mid(dataPrefix.size()));
        return key && !published.value(*key).isEmpty() && dataTopic(*key) == topic;
    };
    Operations out;
    QStringList excess;
    for (auto it = brokerHolds.cbegin(); it != brokerHolds.cend(); ++it) {
        if (!it.value().isEmpty() && owns(it.key()) && !wanted(it.key()))
            excess.append(it.key());
    }
    // In a fixed order, not the hash's; clears first, as in update().
    excess.sort();
    for (const QString &topic : std::as_const(excess))
        out.append({topic, QByteArray()});
    for (const QString &key : std::as_const(keys)) {
        const QString topic = dataTopic(key);
        const QByteArray value = published.value(key).toUtf8();
        if (!value.isEmpty() && brokerHolds.value(topic) != value)
            out.append({topic, value});
        if (announce) {
            const QString entryTopic = configTopic(key);
            const QByteArray entry = config(key);
            if (brokerHolds.value(entryTopic) != entry)
                out.append({entryTopic, entry});
        }
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
