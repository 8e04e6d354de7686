#include "ORTVServiceNotifier.h"

#include <QDebug>
#include <QTimer>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The socket's address: a path, or an abstract name when it starts with '@'.
QByteArray socketAddress(const QByteArray &name)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() >= qsizetype(sizeof address.sun_path)
        || (name.front() != '/' && name.front() != '@'))
        return QByteArray();
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (name.front() == '@')
        address.sun_path[0] = '\0';
    const auto length = offsetof(sockaddr_un, sun_path) + size_t(name.size())
                        + (name.front() == '/' ? 1 : 0);
    return QByteArray(reinterpret_cast<const char *>(&address), qsizetype(length));
}

// Half the watchdog's time in milliseconds when systemd asks this process for pings, else 0.
int watchdogPingMs()
{
    bool ok = false;
    const qulonglong usec = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || usec == 0)
        return 0;
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != ::getpid())
        return 0;
    return int(qBound<qulonglong>(1, usec / 2000, 24 * 3600 * 1000));
}

} // namespace

ORTVServiceNotifier *ORTVServiceNotifier::fromEnvironment(std::function<Figures()> figures,
                                                          QObject *parent)
{
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    if (name.isEmpty())
        return nullptr;
    qunsetenv("NOTIFY_SOCKET");
    const QByteArray address = socketAddress(name);
    const int fd = address.isEmpty()
        ? -1
        : ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        qWarning().noquote() << "Cannot tell the service manager anything: NOTIFY_SOCKET is"
                             << QString::fromLocal8Bit(name);
        return nullptr;
    }
    return new ORTVServiceNotifier(fd, address, std::move(figures), parent);
}

ORTVServiceNotifier::ORTVServiceNotifier(int socket, QByteArray address,
                                         std::function<Figures()> figures, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , address(std::move(address))
    , figures(std::move(figures))
{
}

ORTVServiceNotifier::~ORTVServiceNotifier()
{
    ::close(socket);
}

void ORTVServiceNotifier::notifyReady()
{
    const Figures now = figures();
    lastDatagrams = now.datagramsReceived;
    sinceStatus.start();
    send("READY=1\nSTATUS=" + statusLine(now, now.datagramsReceived, 0));
    statusTimer = new QTimer(this);
    connect(statusTimer, &QTimer::timeout, this, &ORTVServiceNotifier::sendStatus);
    statusTimer->start(statusIntervalMs);
    if (const int pingMs = watchdogPingMs()) {
        watchdogTimer = new QTimer(this);
        watchdogTimer->setTimerType(Qt::PreciseTimer);
        connect(watchdogTimer, &QTimer::timeout, this, [this]() { send("WATCHDOG=1"); });
        watchdogTimer->start(pingMs);
    }
}

void ORTVServiceNotifier::notifyStopping()
{
    send("STOPPING=1");
}

QByteArray ORTVServiceNotifier::statusLine(const Figures &figures, quint64 datagramsBefore,
                                           qint64 elapsedMs)
{
    const quint64 rate = elapsedMs > 0
        ? (figures.datagramsReceived - datagramsBefore) * 1000 / quint64(elapsedMs)
        : 0;
    return QByteArray::number(figures.keys) + " keys, " + QByteArray::number(figures.peers)
           + " peers, " + QByteArray::number(rate) + " datagrams/s";
}

void ORTVServiceNotifier::sendStatus()
{
    const Figures now = figures();
    send("STATUS=" + statusLine(now, lastDatagrams, sinceStatus.restart()));
    lastDatagrams = now.datagramsReceived;
}

bool ORTVServiceNotifier::send(const QByteArray &message)
{
    return ::sendto(socket, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr *>(address.constData()),
                    socklen_t(address.size()))
           == message.size();
}
