#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <deque>

// Messages waiting for room on the broker connection, at most one per topic: a message for a
// topic already waiting takes the waiting one's place (a retained mirror needs only the latest
// value), so the queue never holds more than one message per topic. Topics leave in the order
// they first came.
class ORTVPublishQueue
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        int qos = 1;
    };

    void put(const QString &topic, const QByteArray &payload, int qos);
    bool isEmpty() const { return messages.empty(); }
    qsizetype size() const { return qsizetype(messages.size()); }
    Message take();
    void clear();

private:
    std::deque<Message> messages;
    // Each waiting topic's place as a count of messages ever put, minus `taken` for the index.
    QHash<QString, qint64> places;
    qint64 taken = 0;
};
