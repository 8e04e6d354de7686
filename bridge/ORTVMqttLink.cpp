#include "ORTVMqttLink.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int firstBackoffMs = 500;
constexpr int maxBackoffMs = 10000;
// Packets handled per wake-up of the socket before the other duties of the loop get a turn.
constexpr int maxReadsPerPass = 256;
// In-flight QoS 1 messages: enough not to wait on acknowledgements at thousands a second.
constexpr unsigned maxInflight = 1000;

QString reason(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

ORTVMqttLink::ORTVMqttLink(const Settings &settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , miscTimer(new QTimer(this))
    , retryTimer(new QTimer(this))
{
    mosquitto_lib_init();
    const QByteArray id = settings.clientId.toUtf8();
    client = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!client) {
        setupFailure = QStringLiteral("cannot create the MQTT client: %1").arg(reason(MOSQ_ERR_ERRNO));
        return;
    }
    mosquitto_connect_callback_set(client, &ORTVMqttLink::onConnect);
    mosquitto_message_callback_set(client, &ORTVMqttLink::onMessage);
    mosquitto_max_inflight_messages_set(client, maxInflight);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);

    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.username.isEmpty()) {
        rc = mosquitto_username_pw_set(client, settings.username.toUtf8().constData(),
                                       settings.password.isEmpty()
                                           ? nullptr : settings.password.toUtf8().constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.tlsCaFile.isEmpty()) {
        rc = mosquitto_tls_set(client, settings.tlsCaFile.toLocal8Bit().constData(), nullptr,
                               nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.willTopic.isEmpty()) {
        const QByteArray topic = settings.willTopic.toUtf8();
        rc = mosquitto_will_set(client, topic.constData(), int(settings.willPayload.size()),
                                settings.willPayload.constData(), 1, true);
    }
    if (rc != MOSQ_ERR_SUCCESS)
        setupFailure = reason(rc);

    miscTimer->setInterval(1000);
    connect(miscTimer, &QTimer::timeout, this, &ORTVMqttLink::housekeeping);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &ORTVMqttLink::attempt);
}

ORTVMqttLink::~ORTVMqttLink()
{
    unwatchSocket();
    if (client)
        mosquitto_destroy(client);
    mosquitto_lib_cleanup();
}

void ORTVMqttLink::start()
{
    if (client && setupFailure.isEmpty())
        attempt();
}

void ORTVMqttLink::attempt()
{
    const QByteArray host = settings.host.toUtf8();
    // The library resolves the name and starts a non-blocking connect; the CONNECT packet goes
    // out when the socket becomes writable, and the answer arrives through onConnect().
    const int rc = everAttempted
        ? mosquitto_reconnect_async(client)
        : mosquitto_connect_async(client, host.constData(), settings.port, settings.keepAliveSeconds);
    everAttempted = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(reason(rc));
        return;
    }
    watchSocket();
    updateWriteWatch();
}

void ORTVMqttLink::watchSocket()
{
    unwatchSocket();
    const int fd = mosquitto_socket(client);
    if (fd < 0)
        return;
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &ORTVMqttLink::readReady);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &ORTVMqttLink::writeReady);
    miscTimer->start();
}

void ORTVMqttLink::unwatchSocket()
{
    // The library closes its socket when a connection ends: stop watching the number before it
    // is reused. This may run inside a notifier's own signal, so the objects go later.
    for (QSocketNotifier *notifier : {readNotifier, writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier = nullptr;
    writeNotifier = nullptr;
    miscTimer->stop();
}

void ORTVMqttLink::updateWriteWatch()
{
    if (writeNotifier)
        writeNotifier->setEnabled(mosquitto_want_write(client));
}

void ORTVMqttLink::readReady()
{
    for (int i = 0; i < maxReadsPerPass && readNotifier; ++i) {
        // The library reads one packet a call and reports an empty socket only through errno.
        errno = 0;
        const int rc = mosquitto_loop_read(client, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            failed(reason(rc));
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
    }
    emit readPassEnded();
    updateWriteWatch();
}

void ORTVMqttLink::writeReady()
{
    const int rc = mosquitto_loop_write(client, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        failed(reason(rc));
    else
        updateWriteWatch();
}

void ORTVMqttLink::catchUp()
{
    if (!readNotifier)
        return;
    readReady();
    if (readNotifier && mosquitto_want_write(client))
        writeReady();
}

void ORTVMqttLink::housekeeping()
{
    const int rc = mosquitto_loop_misc(client);
    if (rc != MOSQ_ERR_SUCCESS)
        failed(reason(rc));
    else
        updateWriteWatch();
}

bool ORTVMqttLink::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!connectedNow) {
        lastError = QStringLiteral("not connected");
        return false;
    }
    const int rc = mosquitto_publish(client, nullptr, topic.toUtf8().constData(),
                                     int(payload.size()), payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        lastError = reason(rc);
        return false;
    }
    updateWriteWatch();
    return true;
}

bool ORTVMqttLink::subscribe(const QString &pattern, int qos)
{
    const int rc = mosquitto_subscribe(client, nullptr, pattern.toUtf8().constData(), qos);
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
    if (result != 0) {
        // The broker answered and refused (credentials, client id). The read that brought the
        // answer then fails and closes the connection; say why in that failure's line.
        link->refusal = QString::fromUtf8(mosquitto_connack_string(result));
        return;
    }
    link->connectedNow = true;
    link->backoffMs = 0;
    link->setState(Up, QStringLiteral("connected to the MQTT broker %1:%2")
                           .arg(link->settings.host).arg(link->settings.port));
    emit link->connected();
}

void ORTVMqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *link = static_cast<ORTVMqttLink *>(self);
    emit link->messageReceived(QString::fromUtf8(message->topic),
                               QByteArray(static_cast<const char *>(message->payload),
                                          message->payloadlen));
}

void ORTVMqttLink::failed(const QString &why)
{
    unwatchSocket();
    // A refused CONNACK leaves the socket open; a lost connection is already closed.
    mosquitto_disconnect(client);
    const bool wasConnected = connectedNow;
    connectedNow = false;
    const QString cause = refusal.isEmpty() ? why : refusal;
    refusal.clear();
    setState(Down, QStringLiteral("MQTT broker %1:%2 %3 (%4); retrying until it answers")
                       .arg(settings.host).arg(settings.port)
                       .arg(wasConnected ? QStringLiteral("lost") : QStringLiteral("not reachable"),
                            cause));
    if (wasConnected)
        emit disconnected();
    backoffMs = backoffMs == 0 ? firstBackoffMs : qMin(backoffMs * 2, maxBackoffMs);
    retryTimer->start(backoffMs);
}

// One line per change of state: the retries while the broker stays away say nothing more.
void ORTVMqttLink::setState(State next, const QString &line)
{
    if (next == state)
        return;
    state = next;
    qInfo().noquote() << line;
}
