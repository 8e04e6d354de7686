#pragma once

#include "ORTVHttpReader.h"
#include "ORTVKeyEntities.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// What the broker's retained PREFIX/data/ topics must become for a new read of /Data, as a list
// of messages to publish (an empty payload clears a retained message): new and changed values
// (all of them the first time), clears for keys the server no
// longer holds, and with Home Assistant discovery the entries of each new key, those of a key
// whose value turned from text to a number or back, and the removal of each vanished one's.
// After a connection to a broker, what it lacks or holds wrongly compared
// with what it already holds. No I/O: the caller publishes the operations.
class ORTVRetainedMirror
{
public:
    struct Operation
    {
        QString topic;
        QByteArray payload;
        bool operator==(const Operation &other) const
        {
            return topic == other.topic && payload == other.payload;
        }
    };
    using Operations = QList<Operation>;

    explicit ORTVRetainedMirror(const QString &prefix, const ORTVKeyEntities &entities = {});

    Operations update(const ORTVHttpReader::Values &values);
    // Everything published so far, again: for a broker that may have lost it, at once rather
    // than at the next read.
    Operations republish();
    // Whether a read of /Data came in: until then the mirror cannot tell what the broker should
    // hold, and an empty mirror would clear everything.
    bool knowsServer() const { return hasRead; }
    // The topic patterns whose retained messages reconcile() compares, and whether a topic is
    // among them: the data/ topics and, with discovery, the keys' entries (not the metrics').
    QStringList brokerPatterns() const;
    bool owns(const QString &topic) const;
    // What to publish to a broker holding `brokerHolds` (topic and retained payload, for owned
    // topics) so that it holds what republish() would give: values it lacks or holds
    // differently, and clears for owned topics of keys the mirror does not hold, those first.
    Operations reconcile(const QHash<QString, QByteArray> &brokerHolds) const;

    QString dataTopic(const QString &key) const;
    QString bridgeTopic() const { return prefix + QLatin1String("/bridge"); }

private:
    void publish(Operations &out, const QString &key, const QString &value);
    // The key's discovery entries for `value`, after those of `before` that it no longer has
    // are removed; none when the value is of the same kind as `before`.
    void announce(Operations &out, const QString &key, const QString *before,
                  const QString &value) const;
    void clear(Operations &out, const QString &key);
    QList<ORTVKeyEntities::Entry> entries(const QString &key, const QString &value) const;

    QString prefix;
    QString dataPrefix;
    ORTVKeyEntities entities;
    // What the broker holds as far as the mirror knows.
    QHash<QString, QString> published;
    bool hasRead = false;
};
