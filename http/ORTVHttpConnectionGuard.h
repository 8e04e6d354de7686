#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

class QTcpServer;
class QTcpSocket;
class QTimer;

// Keeps one HTTP client from holding the server's memory or descriptors. Qt's HTTP server
// buffers a request whole, with no size limit and no timeout; this guard watches every
// connection its listener accepts and closes
//  - a connection on which nothing arrived or left for idleTimeoutMs, and
//  - a connection that sent more than maxRequestBytes without being answered in between.
// It also resumes accepting when the listener gave up after an accept error (QTcpServer pauses
// for good when, for example, the process is out of file descriptors).
//
// Construct it before the HTTP server is bound to the listener: it must see each connection
// before the HTTP server reads from it. It becomes a child of the listener.
class ORTVHttpConnectionGuard : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        int idleTimeoutMs = 30000;
        qint64 maxRequestBytes = 4 * 1024 * 1024;
        int acceptRetryMs = 100;
    };
    enum class Reason { Idle, Oversized };
    Q_ENUM(Reason)

    explicit ORTVHttpConnectionGuard(QTcpServer *server);
    ORTVHttpConnectionGuard(QTcpServer *server, const Limits &limits);

    qsizetype watchedConnections() const { return watched.size(); }

signals:
    // A connection is about to be closed (the close itself happens on the next event pass).
    void closingConnection(ORTVHttpConnectionGuard::Reason reason);

private:
    struct Watch
    {
        qint64 lastActivityMs = 0;
        qint64 unansweredBytes = 0;
        bool closing = false;
    };

    void watchNewConnections();
    void received(QTcpSocket *socket);
    void closeIdleConnections();
    void close(QTcpSocket *socket, Watch &watch, Reason reason);

    QTcpServer *server;
    Limits limits;
    QElapsedTimer clock;
    QTimer *sweepTimer;
    QHash<QTcpSocket *, Watch> watched;
};
