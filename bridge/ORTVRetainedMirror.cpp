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

void ORTVRetainedMirror::publish(Operations &out, const QString &key, const QString &value,
                                 bool announce)
{
    published.insert(key, value);
    const QString topic = dataTopic(key);
    out.append({topic, value.toUtf8()});
    if (announce && !homeAssistantNode.isEmpty()) {
        out.append({ORTVHomeAssistant::configTopic(homeAssistantNode, key),
                    ORTVHomeAssistant::config(homeAssistantNode, key, topic, bridgeTopic())});
    }
}

void ORTVRetainedMirror::clear(Operations &out, const QString &key)
{
    published.remove(key);
    // An empty retained message removes the retained one.
    out.append({dataTopic(key), QByteArray()});
    if (!homeAssistantNode.isEmpty())
        out.append({ORTVHomeAssistant::configTopic(homeAssistantNode, key), QByteArray()});
}
