#pragma once

#include "ORTVHttpCounters.h"

#include <QHttpServer>
#include <QObject>

class ORTVHttpConnectionGuard;
class ORTVRunningDataCore;
class QTcpServer;

// The HTTP port's answers: "/" with the product's name, "/Status" with the fixed status object
// and, once a core is given, "/Data" with every stored value. Every method gets the same answer
// on these paths and HEAD its head; anything else gets the HTTP module's 404. Requests are
// counted by route, and a connection guard stands between the listener and the HTTP module.
class ORTVDataHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit ORTVDataHttpServer(QObject *parent = nullptr);

    // Listens on every interface; false when the port cannot be listened on or served.
    bool listen(quint16 port);
    quint16 serverPort() const;
    void serveData(ORTVRunningDataCore *core);

    ORTVHttpCounters *counters() { return &routeCounters; }

private:
    QHttpServer httpServer;
    QTcpServer *listener = nullptr;
    ORTVHttpCounters routeCounters;
};
