#pragma once

#include "ORTVHttpReader.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// What the broker's retained PREFIX/data/ topics must become for a new read of /Data, as a list
// of messages to publish (an empty payload clears a retained message): new and changed values
// (all of them the first time), clears for keys the server no
// longer holds, and with Home Assistant discovery the entry of each new key and the removal of
// each vanished one's. No I/O: the caller publishes the operations.
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

    explicit ORTVRetainedMirror(const QString &prefix, const QString &homeAssistantNode = {});

    Operations update(const ORTVHttpReader::Values &values);
    // Everything published so far, again: for a broker that may have lost it, at once rather
    // than at the next read.
    Operations republish();

    QString dataTopic(const QString &key) const;
    QString bridgeTopic() const { return prefix + QLatin1String("/bridge"); }

private:
    void publish(Operations &out, const QString &key, const QString &value, bool announce);
    void clear(Operations &out, const QString &key);

    QString prefix;
    QString homeAssistantNode;
    // What the broker holds as far as the mirror knows.
    QHash<QString, QString> published;
};
