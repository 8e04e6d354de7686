#include "ORTVPublishQueue.h"

void ORTVPublishQueue::put(const QString &topic, const QByteArray &payload, int qos)
{
    const auto place = places.constFind(topic);
    if (place != places.constEnd()) {
        Message &waiting = messages[size_t(*place - taken)];
        waiting.payload = payload;
        waiting.qos = qos;
        return;
    }
    places.insert(topic, taken + qint64(messages.size()));
    messages.push_back({topic, payload, qos});
}

ORTVPublishQueue::Message ORTVPublishQueue::take()
{
    Message first = std::move(messages.front());
    messages.pop_front();
    places.remove(first.topic);
    ++taken;
    return first;
}

void ORTVPublishQueue::clear()
{
    taken += qint64(messages.size());
    messages.clear();
    places.clear();
}
