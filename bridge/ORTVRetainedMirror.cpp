#include "ORTVRetainedMirror.h"

#include "ORTVTopicCodec.h"

#include <QSet>

#include <algorithm>

ORTVRetainedMirror::ORTVRetainedMirror(const QString &prefix, const ORTVKeyEntities &entities)
    : prefix(prefix)
    , dataPrefix(prefix + QLatin1String("/data/"))
    , entities(entities)
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
        if (known == published.constEnd()) {
            publish(out, key, value);
            announce(out, key, nullptr, value);
        } else if (*known != value) {
            const QString before = *known;
            publish(out, key, value);
            announce(out, key, &before, value);
        }
    }
    return out;
}

ORTVRetainedMirror::Operations ORTVRetainedMirror::republish()
{
    Operations out;
    QStringList keys = published.keys();
    keys.sort();
    for (const QString &key : std::as_const(keys)) {
        const QString value = published.value(key);
        publish(out, key, value);
        announce(out, key, nullptr, value);
    }
    return out;
}

QStringList ORTVRetainedMirror::brokerPatterns() const
{
    return QStringList{prefix + QLatin1String("/data/#")} + entities.brokerPatterns();
}

bool ORTVRetainedMirror::owns(const QString &topic) const
{
    return topic.startsWith(dataPrefix) || entities.owns(topic);
}

ORTVRetainedMirror::Operations
ORTVRetainedMirror::reconcile(const QHash<QString, QByteArray> &brokerHolds) const
{
    // What the broker lacks or holds differently, by key, and how many of the topics the mirror
    // wants it holds. A key whose value is empty has no retained message.
    QList<std::pair<QString, Operations>> lacking;
    QSet<QString> wantedEntries;
    qsizetype wantedHeld = 0;
    for (auto it = published.cbegin(); it != published.cend(); ++it) {
        Operations missing;
        const QString topic = dataTopic(it.key());
        const QByteArray value = it.value().toUtf8();
        const auto held = value.isEmpty() ? brokerHolds.cend() : brokerHolds.constFind(topic);
        wantedHeld += held != brokerHolds.cend();
        if (!value.isEmpty() && (held == brokerHolds.cend() || *held != value))
            missing.append({topic, value});
        for (const ORTVKeyEntities::Entry &entry : entries(it.key(), it.value())) {
            const auto heldEntry = brokerHolds.constFind(entry.topic);
            wantedHeld += heldEntry != brokerHolds.cend();
            wantedEntries.insert(entry.topic);
            if (heldEntry == brokerHolds.cend() || *heldEntry != entry.config)
                missing.append({entry.topic, entry.config});
        }
        if (!missing.isEmpty())
            lacking.append({it.key(), missing});
    }
    // Owned topics beyond those are held in excess; looked for only when there are any.
    QStringList excess;
    qsizetype ownedHeld = 0;
    for (auto it = brokerHolds.cbegin(); it != brokerHolds.cend(); ++it)
        ownedHeld += !it.value().isEmpty() && owns(it.key());
    if (ownedHeld > wantedHeld) {
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
    std::sort(lacking.begin(), lacking.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    Operations out;
    for (const QString &topic : std::as_const(excess))
        out.append({topic, QByteArray()});
    for (const auto &entry : std::as_const(lacking))
        out.append(entry.second);
    return out;
}

QList<ORTVKeyEntities::Entry> ORTVRetainedMirror::entries(const QString &key,
                                                          const QString &value) const
{
    return entities.isEnabled() ? entities.entries(key, ORTVKeyEntities::isNumber(value))
                                : QList<ORTVKeyEntities::Entry>{};
}

void ORTVRetainedMirror::publish(Operations &out, const QString &key, const QString &value)
{
    published.insert(key, value);
    out.append({dataTopic(key), value.toUtf8()});
}

void ORTVRetainedMirror::announce(Operations &out, const QString &key, const QString *before,
                                  const QString &value) const
{
    if (!entities.isEnabled())
        return;
    const bool numeric = ORTVKeyEntities::isNumber(value);
    if (before && ORTVKeyEntities::isNumber(*before) == numeric)
        return;
    const QList<ORTVKeyEntities::Entry> now = entities.entries(key, numeric);
    // A writable key's number entity becomes a text entity or back: the other one goes.
    if (before) {
        for (const ORTVKeyEntities::Entry &entry : entries(key, *before)) {
            const bool kept = std::any_of(now.cbegin(), now.cend(), [&](const auto &other) {
                return other.topic == entry.topic;
            });
            if (!kept)
                out.append({entry.topic, QByteArray()});
        }
    }
    for (const ORTVKeyEntities::Entry &entry : now)
        out.append({entry.topic, entry.config});
}

void ORTVRetainedMirror::clear(Operations &out, const QString &key)
{
    const QString value = published.take(key);
    // An empty retained message removes the retained one.
    out.append({dataTopic(key), QByteArray()});
    for (const ORTVKeyEntities::Entry &entry : entries(key, value))
        out.append({entry.topic, QByteArray()});
}
