#include "ORTVDataHttpServer.h"
#include "ORTVDataJson.h"
#include "ORTVHttpConnectionGuard.h"
#include "ORTVHttpRoutes.h"
#include "ORTVRunningDataCore.h"

#include <QJsonObject>
#include <QTcpServer>

namespace {

// Connections that arrive while the loop sleeps wait in the kernel's accept queue; with Qt's
// default of 50 a burst of clients overflows it and the dropped ones retry only after 1, 3, 7 s.
constexpr int listenBacklog = 1024;

QJsonObject statusObject()
{
    QJsonObject status;
    status.insert(QLatin1String("message"), QLatin1String("Current Server status"));
    status.insert(QLatin1String("status"), QLatin1String("success"));
    return status;
}

} // namespace

ORTVDataHttpServer::ORTVDataHttpServer(QObject *parent)
    : QObject(parent)
{
    ORTVHttpCounters *counters = &routeCounters;
    ORTVHttpRoutes::addRoute(httpServer, QStringLiteral("/"), [counters]() {
        ++counters->root;
        return QHttpServerResponse("Orvane Tarvic", QHttpServerResponder::StatusCode::Ok);
    });
    ORTVHttpRoutes::addRoute(httpServer, QStringLiteral("/Status"), [counters]() {
        ++counters->status;
        return QHttpServerResponse(statusObject(), QHttpServerResponder::StatusCode::Ok);
    });
    ORTVHttpRoutes::countMissing(httpServer, counters);
}

bool ORTVDataHttpServer::listen(quint16 port)
{
    auto *tcpServer = new QTcpServer(&httpServer);
    tcpServer->setListenBacklogSize(listenBacklog);
    if (!tcpServer->listen(QHostAddress::Any, port)) {
        delete tcpServer;
        return false;
    }
    // Closes idle and oversized connections, and resumes accepting after running out of file
    // descriptors. It must see each connection before the HTTP server does.
    ORTVHttpRoutes::countClosed(new ORTVHttpConnectionGuard(tcpServer), &routeCounters);
    if (!ORTVHttpRoutes::bind(httpServer, tcpServer)) {
        delete tcpServer;
        return false;
    }
    listener = tcpServer;
    return true;
}

quint16 ORTVDataHttpServer::serverPort() const
{
    return listener ? listener->serverPort() : 0;
}

void ORTVDataHttpServer::serveData(ORTVRunningDataCore *core)
{
    ORTVHttpCounters *counters = &routeCounters;
    ORTVHttpRoutes::addRoute(httpServer, QStringLiteral("/Data"), [core, counters]() {
        ++counters->data;
        return QHttpServerResponse(QByteArrayLiteral("application/json"),
                                   ORTVDataJson::document(core->getCoreData()),
                                   QHttpServerResponder::StatusCode::Ok);
    });
}
