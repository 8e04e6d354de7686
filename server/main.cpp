#include "ORTVDataJson.h"
#include "ORTVHttpConnectionGuard.h"
#include "ORTVLogFormat.h"
#include "ORTVRunningDataCore.h"
#include "ORTVUDPTransceiver.h"

#include <QCoreApplication>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

constexpr quint16 httpPort = 8080;
constexpr quint16 udpPort = 1234;
// Connections that arrive while the loop sleeps wait in the kernel's accept queue; with Qt's
// default of 50 a burst of clients overflows it and the dropped ones retry only after 1, 3, 7 s.
constexpr int httpListenBacklog = 1024;
constexpr unsigned long pollSleepUs = 10000;

QJsonObject statusObject()
{
    QJsonObject status;
    status.insert(QLatin1String("message"), QLatin1String("Current Server status"));
    status.insert(QLatin1String("status"), QLatin1String("success"));
    return status;
}

} // namespace

QTextStream &qStdOut()
{
    static QTextStream stream(stdout);
    return stream;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The server only listens: it has no use for a proxy, and looking up the system's proxy
    // settings would start a helper thread in this otherwise single-threaded process.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    // Each console line is flushed at once so a live log shows it when it happens.
    qStdOut() << "Orvane Tarvic NG Main Data Server Starting ..." << Qt::endl;

    QHttpServer httpServer;
    httpServer.route(QStringLiteral("/"), []() {
        return QHttpServerResponse("Orvane Tarvic", QHttpServerResponder::StatusCode::Ok);
    });
    httpServer.route(QStringLiteral("/Status"), []() {
        return QHttpServerResponse(statusObject(), QHttpServerResponder::StatusCode::Ok);
    });

    // The HTTP module writes the body of a HEAD answer too, which a client on a kept-alive
    // connection would read as the start of the next response: send the headers only.
    httpServer.afterRequest([](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        if (request.method() != QHttpServerRequest::Method::Head)
            return std::move(response);
        return QHttpServerResponse(response.mimeType(), QByteArray(), response.statusCode());
    });

    auto *tcpServer = new QTcpServer(&httpServer);
    tcpServer->setListenBacklogSize(httpListenBacklog);
    if (!tcpServer->listen(QHostAddress::Any, httpPort)) {
        qStdOut() << "Failed to listen to port 8080 !" << Qt::endl;
        delete tcpServer;
        return -1;
    }
    // Closes idle and oversized connections, and resumes accepting after running out of file
    // descriptors. It must see each connection before the HTTP server does.
    new ORTVHttpConnectionGuard(tcpServer);
    httpServer.bind(tcpServer);
    qStdOut() << "Listen on port " << tcpServer->serverPort() << Qt::endl;

    // Both live until the process is killed.
    auto *core = new ORTVRunningDataCore(nullptr);
    auto *transceiver = new ORTVUDPTransceiver(nullptr, udpPort);

    QObject::connect(transceiver, &ORTVUDPTransceiver::didReceiveData,
                     [core](QNetworkDatagram dgram) { core->receivedDataFromClient(dgram); });
    QObject::connect(core, &ORTVRunningDataCore::needToSendFrame,
                     [transceiver](QNetworkDatagram d, QHostAddress adr, quint16 port) {
                         ORTVLogFormat::logSending(adr, port);
                         transceiver->sendData(d, adr, port);
                     });

    httpServer.route(QStringLiteral("/Data"), [core]() {
        return QHttpServerResponse(QByteArrayLiteral("application/json"),
                                   ORTVDataJson::document(core->getCoreData()),
                                   QHttpServerResponder::StatusCode::Ok);
    });

    // The application's own event loop is never entered: poll, then sleep, for ever.
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(pollSleepUs);
    }
}
