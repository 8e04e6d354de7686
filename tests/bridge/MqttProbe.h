#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTest>

#include <mosquitto.h>

// A test's own MQTT client, on libmosquitto's blocking calls: connects, subscribes, publishes,
// and keeps the last message of every topic (an empty payload removes the topic, as it removes
// a retained message). Each wait pumps the connection.
class MqttProbe
{
public:
    explicit MqttProbe(quint16 port, const char *id) : port(port)
    {
        mosquitto_lib_init();
        client = mosquitto_new(id, true, this);
        mosquitto_message_callback_set(client, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *probe = static_cast<MqttProbe *>(self);
            const QString topic = QString::fromUtf8(m->topic);
            const QByteArray payload(static_cast<const char *>(m->payload), m->payloadlen);
            if (payload.isEmpty())
                probe->latest.remove(topic);
            else
                probe->latest.insert(topic, payload);
            ++probe->received;
            if (!m->retain)
                probe->live.append(topic);
        });
    }
    ~MqttProbe()
    {
        mosquitto_destroy(client);
        mosquitto_lib_cleanup();
    }
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    bool connectTo(int timeoutMs)
    {
        return QTest::qWaitFor([&] {
            return mosquitto_connect(client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
        }, timeoutMs);
    }
    bool subscribe(const char *pattern)
    {
        return mosquitto_subscribe(client, nullptr, pattern, 1) == MOSQ_ERR_SUCCESS;
    }
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false)
    {
        return mosquitto_publish(client, nullptr, topic.toUtf8().constData(), int(payload.size()),
                                 payload.constData(), 1, retain) == MOSQ_ERR_SUCCESS
            && mosquitto_loop(client, 0, 1) == MOSQ_ERR_SUCCESS;
    }
    void pump() { mosquitto_loop(client, 5, 1); }
    // Waits until the topic's last message is `payload` (empty: no message).
    bool waitFor(const QString &topic, const QByteArray &payload, int timeoutMs)
    {
        return QTest::qWaitFor([&] {
            pump();
            return latest.value(topic) == payload;
        }, timeoutMs);
    }

    QHash<QString, QByteArray> latest;
    int received = 0;
    // The topics of the messages published while subscribed, not stored ones.
    QStringList live;

private:
    mosquitto *client = nullptr;
    quint16 port;
};
