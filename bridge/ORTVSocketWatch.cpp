#include "ORTVSocketWatch.h"

#include <QSocketNotifier>

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

void ORTVSocketWatch::watch(int fd)
{
    unwatch();
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &ORTVSocketWatch::readable);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &ORTVSocketWatch::writable);
}

void ORTVSocketWatch::unwatch()
{
    // This may run inside a notifier's own signal, so the objects go later.
    for (QSocketNotifier *notifier : {readNotifier, writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier = nullptr;
    writeNotifier = nullptr;
}

void ORTVSocketWatch::setWantWrite(bool want)
{
    if (writeNotifier)
        writeNotifier->setEnabled(want);
}

bool ORTVSocketWatch::hasInput(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN);
}

// A connect that failed shows only as a ready socket: a pending error, or no peer.
std::optional<int> ORTVSocketWatch::connectError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
        sockaddr_storage peer;
        socklen_t peerSize = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0
            || errno != ENOTCONN) {
            return std::nullopt;
        }
        // Only a refusal fails a non-blocking connect that quickly; other errors come later,
        // or from the connect call itself.
        error = ECONNREFUSED;
    }
    return error;
}
