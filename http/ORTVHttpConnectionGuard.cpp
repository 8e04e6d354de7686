#include "ORTVHttpConnectionGuard.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

ORTVHttpConnectionGuard::ORTVHttpConnectionGuard(QTcpServer *server)
    : ORTVHttpConnectionGuard(server, Limits())
{
}

ORTVHttpConnectionGuard::ORTVHttpConnectionGuard(QTcpServer *server, const Limits &limits)
    : QObject(server)
    , server(server)
    , limits(limits)
    , sweepTimer(new QTimer(this))
{
    clock.start();
    // Emitted as each accepted connection is queued, before newConnection: a slot connected
    // ahead of the HTTP server's sees the socket before anyone read from it.
    connect(server, &QTcpServer::pendingConnectionAvailable, this,
            &ORTVHttpConnectionGuard::watchNewConnections);
    connect(server, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(this->limits.acceptRetryMs, this, [this] {
            if (this->server->isListening())
                this->server->resumeAccepting();
        });
    });
    // A connection is closed between one and one and a quarter idle periods after it fell
    // silent (at most a second late for long periods).
    sweepTimer->setInterval(qBound(10, limits.idleTimeoutMs / 4, 1000));
    connect(sweepTimer, &QTimer::timeout, this, &ORTVHttpConnectionGuard::closeIdleConnections);
    sweepTimer->start();
}

void ORTVHttpConnectionGuard::watchNewConnections()
{
    // The listener creates each socket as its child; the HTTP server takes it from the pending
    // queue later without reparenting it.
    const QList<QTcpSocket *> sockets = server->findChildren<QTcpSocket *>(
        QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : sockets) {
        if (watched.contains(socket))
            continue;
        watched.insert(socket, Watch{clock.elapsed(), 0, false});
        connect(socket, &QIODevice::readyRead, this, [this, socket] { received(socket); });
        connect(socket, &QIODevice::bytesWritten, this, [this, socket] {
            Watch &watch = watched[socket];
            watch.lastActivityMs = clock.elapsed();
            watch.unansweredBytes = 0;
        });
        connect(socket, &QObject::destroyed, this, [this, socket] { watched.remove(socket); });
    }
}

void ORTVHttpConnectionGuard::received(QTcpSocket *socket)
{
    Watch &watch = watched[socket];
    watch.lastActivityMs = clock.elapsed();
    // This slot runs before the HTTP server's, which reads everything each time: what is
    // available now is what arrived since the last call.
    watch.unansweredBytes += socket->bytesAvailable();
    if (watch.unansweredBytes > limits.maxRequestBytes)
        close(socket, watch, Reason::Oversized);
}

void ORTVHttpConnectionGuard::closeIdleConnections()
{
    const qint64 now = clock.elapsed();
    for (auto it = watched.begin(); it != watched.end(); ++it) {
        if (now - it->lastActivityMs >= limits.idleTimeoutMs)
            close(it.key(), it.value(), Reason::Idle);
    }
}

void ORTVHttpConnectionGuard::close(QTcpSocket *socket, Watch &watch, Reason reason)
{
    if (watch.closing)
        return;
    watch.closing = true;
    emit closingConnection(reason);
    // Not from inside the socket's own signal, ahead of the HTTP server's slot: the server
    // deletes the socket and its request when it sees the disconnection.
    QMetaObject::invokeMethod(socket, [socket] { socket->abort(); }, Qt::QueuedConnection);
}
