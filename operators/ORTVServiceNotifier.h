#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <functional>

class QTimer;

// Tells the service manager (systemd, Type=notify) how the server is doing, through the socket
// that NOTIFY_SOCKET names: READY=1 once it serves, a STATUS= line every few seconds,
// WATCHDOG=1 from the event loop itself (so a loop that hangs stops the pings and gets the
// server restarted), STOPPING=1 when a stop begins. The protocol is a datagram of
// "VARIABLE=value" lines; writing it here keeps the server free of libsystemd.
class ORTVServiceNotifier : public QObject
{
    Q_OBJECT

public:
    struct Figures
    {
        qsizetype keys = 0;
        qsizetype peers = 0;
        quint64 datagramsReceived = 0;
    };

    // A notifier for the socket NOTIFY_SOCKET names, or nullptr when it is not set (nothing of
    // this happens then). The variable is taken out of the environment.
    static ORTVServiceNotifier *fromEnvironment(std::function<Figures()> figures,
                                                QObject *parent);
    ~ORTVServiceNotifier() override;

    // READY=1 with the first status line; then status lines and watchdog pings on timers.
    void notifyReady();
    void notifyStopping();

    static constexpr int statusIntervalMs = 5000;

private:
    // "N keys, N peers, N datagrams/s", the rate over the time since the last line.
    static QByteArray statusLine(const Figures &figures, quint64 datagramsBefore,
                                 qint64 elapsedMs);
    ORTVServiceNotifier(int socket, QByteArray address, std::function<Figures()> figures,
                        QObject *parent);
    void sendStatus();
    bool send(const QByteArray &message);

    int socket;
    QByteArray address;  // sockaddr_un bytes
    std::function<Figures()> figures;
    quint64 lastDatagrams = 0;
    QElapsedTimer sinceStatus;
    QTimer *statusTimer = nullptr;
    QTimer *watchdogTimer = nullptr;
};
