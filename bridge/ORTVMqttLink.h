#pragma once

#include "ORTVBridgeOptions.h"
#include "ORTVBrokerTls.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class ORTVSocketWatch;
class QHostInfo;
class QTimer;
struct mosquitto;
struct mosquitto_message;

// One connection to an MQTT broker through libmosquitto, run from the Qt event loop of the
// calling thread: the library's socket is watched (ORTVSocketWatch) and its periodic duties
// (keep-alive pings, resends) run on a timer. A broker that sends nothing for one and a half
// keep-alives (not even the answer to a ping) counts as gone, as does a connection the library
// closed. Connects, and reconnects after any loss with a bounded back-off, for ever; logs one
// line per change between connected and not, not one per attempt. Speaks MQTT 5 (a retained
// message is told as such wherever it comes from), or 3.1.1 with a broker that refuses 5.
class ORTVMqttLink : public QObject
{
    Q_OBJECT

public:
    enum State { UnconnectedState, ConnectingState, ConnectedState };
    Q_ENUM(State)

    // Takes the broker, its credentials, TLS and keep-alive from the options.
    explicit ORTVMqttLink(const ORTVBridgeOptions &options, QObject *parent = nullptr);
    ~ORTVMqttLink() override;

    // Before start(): the message the broker publishes, retained, when the connection ends
    // without a goodbye.
    void setWill(const QString &topic, const QByteArray &payload);
    // Empty when the settings were taken; otherwise why not (a TLS file that cannot be read).
    QString setupError() const { return setupFailure; }
    State state() const { return currentState; }
    bool isConnected() const { return currentState == ConnectedState; }
    void start();

    // Queues a message; false (with the library's reason in errorString()) when it refused it,
    // e.g. a topic longer than MQTT allows. Only while connected.
    bool publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    // Messages published and not yet acknowledged (QoS 1) or written (QoS 0).
    qsizetype unfinished() const { return unfinishedIds.size(); }
    // `ownToo` false: with MQTT 5 the broker does not send this client's own messages back
    // (3.1.1 cannot ask for that).
    bool subscribe(const QString &pattern, int qos, bool ownToo = true);
    bool unsubscribe(const QString &pattern);
    QString errorString() const { return lastError; }

signals:
    void stateChanged(ORTVMqttLink::State state);
    // `retained`: stored by the broker, not a message published just now for the subscribers.
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    // After the messages that one wake-up of the socket brought, and after each write.
    void passEnded();

private:
    static void onConnect(mosquitto *, void *self, int result);
    static void onDisconnect(mosquitto *, void *self, int result);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    void attempt();
    void resolved(const QHostInfo &info);
    void connectTo(const QString &address);
    void updateWriteWatch();
    void readReady();
    void writeReady();
    void housekeeping();
    bool moreToRead() const;
    // For a call of the network loop: whether the connection is still on after it.
    bool stillOn(int rc);
    bool stillOpen();
    bool connectFailed();
    void failed(const QString &reason);
    void setState(State next);
    // For a call that queued a packet: false with its reason kept, or the write watch updated.
    bool done(int rc);

    ORTVBridgeOptions options;
    mosquitto *client = nullptr;
    ORTVSocketWatch *socketWatch = nullptr;
    QTimer *miscTimer = nullptr;
    QTimer *retryTimer = nullptr;
    QElapsedTimer sinceHeard;
    QSet<int> unfinishedIds;
    // The looked-up addresses of the broker's name not yet tried in this attempt.
    QList<QHostAddress> addresses;
    ORTVBrokerTls tls;
    bool protocol5 = true;
    int backoffMs = 0;
    State currentState = UnconnectedState;
    // The last state told in the log: the retries while the broker stays away say nothing.
    enum Told { NothingTold, ToldUp, ToldDown } told = NothingTold;
    QString refusal;
    QString closeReason;
    QString setupFailure;
    QString lastError;
};
