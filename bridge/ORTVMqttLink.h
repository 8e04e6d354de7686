#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

// One connection to an MQTT broker through libmosquitto, run from the Qt event loop of the
// calling thread: the library's socket is watched with QSocketNotifier (read always, write only
// while the library has something to send) and its periodic duties (keep-alive pings, resends)
// run on a timer. Connects, and reconnects after any loss with a bounded back-off, for ever;
// logs one line per change of state, not one per attempt.
class ORTVMqttLink : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host = QStringLiteral("127.0.0.1");
        quint16 port = 1883;
        QString clientId;
        QString username;
        QString password;
        QString tlsCaFile;
        int keepAliveSeconds = 30;
        // Published by the broker, retained, when the connection ends without a goodbye.
        QString willTopic;
        QByteArray willPayload;
    };

    explicit ORTVMqttLink(const Settings &settings, QObject *parent = nullptr);
    ~ORTVMqttLink() override;

    // Empty when the settings were taken; otherwise why not (a TLS file that cannot be read).
    QString setupError() const { return setupFailure; }
    bool isConnected() const { return connectedNow; }
    void start();

    // Queues a message; false (with the library's reason in errorString()) when it refused it,
    // e.g. a topic longer than MQTT allows. Only while connected.
    bool publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    bool subscribe(const QString &pattern, int qos);
    QString errorString() const { return lastError; }
    // Reads what the broker has sent and writes what waits, without blocking, for a caller in
    // the middle of long work: meanwhile the broker holds back the messages it sends with QoS 1
    // once 20 or so are unacknowledged, and past its queue limit (1,000 by default) drops them.
    void catchUp();

signals:
    void connected();
    void disconnected();
    void messageReceived(const QString &topic, const QByteArray &payload);
    // After the messages that one wake-up of the socket brought.
    void readPassEnded();

private:
    static void onConnect(mosquitto *, void *self, int result);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    void attempt();
    void watchSocket();
    void unwatchSocket();
    void updateWriteWatch();
    void readReady();
    void writeReady();
    void housekeeping();
    void failed(const QString &reason);
    enum State { Unknown, Up, Down };
    void setState(State next, const QString &line);

    Settings settings;
    mosquitto *client = nullptr;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer *miscTimer = nullptr;
    QTimer *retryTimer = nullptr;
    bool everAttempted = false;
    bool connectedNow = false;
    int backoffMs = 0;
    State state = Unknown;
    QString refusal;
    QString setupFailure;
    QString lastError;
};
