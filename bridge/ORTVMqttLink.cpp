#include "ORTVMqttLink.h"
#include "ORTVSocketWatch.h"

#include <QDebug>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>

namespace {

// A broker restarted by its service listens again within a few tenths of a second: the first
// retry comes soon, later ones wait longer.
constexpr int firstBackoffMs = 100;
constexpr int maxBackoffMs = 10000;
// Packets handled per wake-up of the socket before the other duties of the loop get a turn.
constexpr int maxReadsPerPass = 256;
// In-flight QoS 1 messages: enough not to wait on acknowledgements at thousands a second.
constexpr unsigned maxInflight = 1000;
constexpr unsigned maxReceiveAhead = 65535;
constexpr int housekeepingMs = 1000;

// Why a call failed; MOSQ_ERR_ERRNO leaves the cause in errno.
QString reason(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

ORTVMqttLink::ORTVMqttLink(const ORTVBridgeOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , socketWatch(new ORTVSocketWatch(this))
    , miscTimer(new QTimer(this))
    , retryTimer(new QTimer(this))
{
    connect(socketWatch, &ORTVSocketWatch::readable, this, &ORTVMqttLink::readReady);
    connect(socketWatch, &ORTVSocketWatch::writable, this, &ORTVMqttLink::writeReady);
    mosquitto_lib_init();
    const QByteArray id = options.clientId.toUtf8();
    client = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!client) {
        setupFailure =
            QStringLiteral("cannot create the MQTT client: %1").arg(reason(MOSQ_ERR_ERRNO));
        return;
    }
    mosquitto_connect_callback_set(client, &ORTVMqttLink::onConnect);
    mosquitto_disconnect_callback_set(client, &ORTVMqttLink::onDisconnect);
    mosquitto_publish_callback_set(client, &ORTVMqttLink::onPublish);
    mosquitto_message_callback_set(client, &ORTVMqttLink::onMessage);
    mosquitto_max_inflight_messages_set(client, maxInflight);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // The messages the broker may send ahead of the acknowledgements (20 unless asked): beyond
    // them it queues a bounded number and then drops, so while the thread is busy with a read
    // of /Data they had better wait in the socket.
    mosquitto_int_option(client, MOSQ_OPT_RECEIVE_MAXIMUM, int(maxReceiveAhead));
    mosquitto_int_option(client, MOSQ_OPT_SEND_MAXIMUM, int(maxInflight));

    int rc = MOSQ_ERR_SUCCESS;
    if (!options.username.isEmpty()) {
        rc = mosquitto_username_pw_set(client, options.username.toUtf8().constData(),
                                       options.password.isEmpty()
                                           ? nullptr : options.password.toUtf8().constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && !options.tlsCaFile.isEmpty()) {
        if (!tls.setUp(options.tlsCaFile, options.broker)) {
            setupFailure = tls.errorString();
            return;
        }
        // Taken as it is: the library's own settings would check the name against the address.
        mosquitto_int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        rc = mosquitto_void_option(client, MOSQ_OPT_SSL_CTX, tls.context());
    }
    if (rc != MOSQ_ERR_SUCCESS)
        setupFailure = reason(rc);

    miscTimer->setInterval(housekeepingMs);
    connect(miscTimer, &QTimer::timeout, this, &ORTVMqttLink::housekeeping);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &ORTVMqttLink::attempt);
}

void ORTVMqttLink::setWill(const QString &topic, const QByteArray &payload)
{
    if (!client || !setupFailure.isEmpty())
        return;
    const int rc = mosquitto_will_set(client, topic.toUtf8().constData(), int(payload.size()),
                                      payload.constData(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        setupFailure = reason(rc);
}

ORTVMqttLink::~ORTVMqttLink()
{
    socketWatch->unwatch();
    if (client)
        mosquitto_destroy(client);
    mosquitto_lib_cleanup();
}

void ORTVMqttLink::start()
{
    if (client && setupFailure.isEmpty())
        attempt();
}

// A host name is looked up without blocking the thread; the library is given an address.
void ORTVMqttLink::attempt()
{
    setState(ConnectingState);
    sinceHeard.start();
    miscTimer->start();
    addresses.clear();
    if (!QHostAddress(options.broker).isNull())
        connectTo(options.broker);
    else
        QHostInfo::lookupHost(options.broker, this, &ORTVMqttLink::resolved);
}

void ORTVMqttLink::resolved(const QHostInfo &info)
{
    if (currentState != ConnectingState)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failed(info.errorString());
        return;
    }
    addresses = info.addresses();
    connectTo(addresses.takeFirst().toString());
}

void ORTVMqttLink::connectTo(const QString &address)
{
    // A non-blocking connect: the CONNECT packet goes out when the socket becomes writable,
    // and the answer arrives through onConnect(). Each address gets its own keep-alive's time.
    sinceHeard.start();
    const QByteArray host = address.toUtf8();
    const int rc = mosquitto_connect_async(client, host.constData(), options.brokerPort,
                                           options.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(reason(rc));
        return;
    }
    socketWatch->unwatch();
    if (const int fd = mosquitto_socket(client); fd >= 0)
        socketWatch->watch(fd);
    updateWriteWatch();
}

void ORTVMqttLink::updateWriteWatch()
{
    socketWatch->setWantWrite(mosquitto_want_write(client));
}

// The library closes the socket on its own in some calls that still return success (a
// keep-alive without answer in mosquitto_loop_misc): onDisconnect() said why.
bool ORTVMqttLink::stillOpen()
{
    if (mosquitto_socket(client) >= 0)
        return true;
    failed(closeReason.isEmpty() ? QStringLiteral("connection closed") : closeReason);
    return false;
}

bool ORTVMqttLink::stillOn(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(reason(rc));
        return false;
    }
    return stillOpen();
}

// Over TLS the library takes a failed connect for a handshake still to come and tries again at
// every wake-up, for ever. Its first handshake write may already have taken the socket's error:
// a socket without a peer failed too.
bool ORTVMqttLink::connectFailed()
{
    const int fd = mosquitto_socket(client);
    if (currentState != ConnectingState || fd < 0)
        return false;
    const std::optional<int> error = ORTVSocketWatch::connectError(fd);
    if (!error)
        return false;
    failed(QString::fromLocal8Bit(std::strerror(*error)));
    return true;
}

// The library reads at least one packet a call, and says nothing of what is left: the socket
// and the TLS connection do.
bool ORTVMqttLink::moreToRead() const
{
    const auto *ssl = static_cast<const SSL *>(mosquitto_ssl_get(client));
    return (ssl && ORTVBrokerTls::holdsInput(ssl))
        || ORTVSocketWatch::hasInput(mosquitto_socket(client));
}

void ORTVMqttLink::readReady()
{
    if (connectFailed())
        return;
    sinceHeard.start();
    for (int i = 0; i < maxReadsPerPass && socketWatch->isWatching(); ++i) {
        if (!stillOn(mosquitto_loop_read(client, 1)) || !moreToRead())
            break;
    }
    emit passEnded();
    updateWriteWatch();
}

void ORTVMqttLink::writeReady()
{
    if (connectFailed() || !stillOn(mosquitto_loop_write(client, 1)))
        return;
    emit passEnded();
    updateWriteWatch();
}

void ORTVMqttLink::housekeeping()
{
    // The library sends a ping after a keep-alive of silence; a live broker answers it at once.
    if (sinceHeard.elapsed() > options.keepAliveSeconds * 1500LL) {
        failed(QStringLiteral("no answer within the keep-alive of %1 s")
                   .arg(options.keepAliveSeconds));
        return;
    }
    if (socketWatch->isWatching() && stillOn(mosquitto_loop_misc(client)))
        updateWriteWatch();
}

bool ORTVMqttLink::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!isConnected()) {
        lastError = QStringLiteral("not connected");
        return false;
    }
    int id = 0;
    const int rc = mosquitto_publish(client, &id, topic.toUtf8().constData(),
                                     int(payload.size()), payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        lastError = reason(rc);
        // A write that found the connection gone ends it here, not in a warning per message.
        if (rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST)
            failed(lastError);
        return false;
    }
    unfinishedIds.insert(id);
    updateWriteWatch();
    return true;
}

bool ORTVMqttLink::subscribe(const QString &pattern, int qos, bool ownToo)
{
    // Retain as published: a retained message published now still says so, not only the one
    // stored on the broker.
    const int options = MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | (ownToo ? 0 : MQTT_SUB_OPT_NO_LOCAL);
    const int rc = protocol5
        ? mosquitto_subscribe_v5(client, nullptr, pattern.toUtf8().constData(), qos, options,
                                 nullptr)
        : mosquitto_subscribe(client, nullptr, pattern.toUtf8().constData(), qos);
    return done(rc);
}

bool ORTVMqttLink::unsubscribe(const QString &pattern)
{
    return done(mosquitto_unsubscribe(client, nullptr, pattern.toUtf8().constData()));
}

bool ORTVMqttLink::done(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS) {
        lastError = reason(rc);
        return false;
    }
    updateWriteWatch();
    return true;
}

void ORTVMqttLink::onConnect(mosquitto *, void *self, int result)
{
    auto *link = static_cast<ORTVMqttLink *>(self);
    if (result != CONNACK_ACCEPTED) {
        // A broker that speaks only 3.1.1 refuses the protocol version (with the code of 5 or
        // of 3.1.1): the next attempt speaks that.
        if (link->protocol5 && (result == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION
                                || result == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            link->protocol5 = false;
            mosquitto_int_option(link->client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        }
        // The broker answered and refused (credentials, client id). The read that brought the
        // answer then fails and closes the connection; say why in that failure's line.
        link->refusal = QString::fromUtf8(link->protocol5 ? mosquitto_reason_string(result)
                                                          : mosquitto_connack_string(result));
        return;
    }
    link->backoffMs = 0;
    link->closeReason.clear();
    // Messages of the last connection the library may still send are not waited for.
    link->unfinishedIds.clear();
    if (link->told != ToldUp) {
        link->told = ToldUp;
        qInfo().noquote() << QStringLiteral("connected to the MQTT broker %1:%2")
                                 .arg(link->options.broker).arg(link->options.brokerPort);
    }
    link->setState(ConnectedState);
}

void ORTVMqttLink::onDisconnect(mosquitto *, void *self, int result)
{
    auto *link = static_cast<ORTVMqttLink *>(self);
    link->closeReason = reason(result);
}

void ORTVMqttLink::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<ORTVMqttLink *>(self)->unfinishedIds.remove(mid);
}

void ORTVMqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *link = static_cast<ORTVMqttLink *>(self);
    emit link->messageReceived(QString::fromUtf8(message->topic),
                               QByteArray(static_cast<const char *>(message->payload),
                                          message->payloadlen),
                               message->retain);
}

void ORTVMqttLink::failed(const QString &why)
{
    if (currentState == UnconnectedState)
        return;
    // The library closes its socket when a connection ends.
    socketWatch->unwatch();
    const bool wasConnected = isConnected();
    const QString certificate = tls.takeRefusal();
    if (!certificate.isEmpty())
        refusal = certificate;
    // A refused CONNACK or a silent broker leaves the socket open; a lost connection is closed.
    mosquitto_disconnect(client);
    // A name often has an address the broker does not listen on (IPv6 beside IPv4): the next
    // one is tried at once.
    if (!wasConnected && !addresses.isEmpty()) {
        refusal.clear();
        closeReason.clear();
        connectTo(addresses.takeFirst().toString());
        return;
    }
    miscTimer->stop();
    setState(UnconnectedState);
    const QString cause = refusal.isEmpty() ? why : refusal;
    refusal.clear();
    closeReason.clear();
    if (told != ToldDown) {
        told = ToldDown;
        qInfo().noquote() << QStringLiteral("MQTT broker %1:%2 %3 (%4); retrying until it answers")
                                 .arg(options.broker).arg(options.brokerPort)
                                 .arg(wasConnected ? QStringLiteral("lost")
                                                   : QStringLiteral("not reachable"),
                                      cause);
    }
    backoffMs = backoffMs == 0 ? firstBackoffMs : qMin(backoffMs * 2, maxBackoffMs);
    retryTimer->start(backoffMs);
}

void ORTVMqttLink::setState(State next)
{
    if (next == currentState)
        return;
    currentState = next;
    emit stateChanged(next);
}
