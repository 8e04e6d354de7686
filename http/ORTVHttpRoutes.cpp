#include "ORTVHttpRoutes.h"
#include "ORTVHttpConnectionGuard.h"
#include "ORTVHttpCounters.h"

#include <QBuffer>
#include <QTcpServer>

void ORTVHttpRoutes::writeHead(QHttpServerResponder &responder, const QHttpServerResponse &answer)
{
    // The HTTP module writes the body of any answer it is given and counts Content-Length from
    // it; only for a device does it take the length from size() and send what is left to read,
    // so a device standing at its end gives the GET answer's length and nothing after the head.
    auto *body = new QBuffer; // the responder takes it and deletes it once written
    body->setData(answer.data());
    body->open(QIODevice::ReadOnly);
    body->seek(body->size());
    responder.write(body, answer.mimeType(), answer.statusCode());
}

void ORTVHttpRoutes::countMissing(QHttpServer &server, ORTVHttpCounters *counters)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    server.setMissingHandler(&server, [counters](const QHttpServerRequest &,
                                                 QHttpServerResponder &responder) {
        ++counters->other;
        responder.sendResponse(QHttpServerResponse(QHttpServerResponder::StatusCode::NotFound));
    });
#else
    // Writes the same bytes as the HTTP module's own 404 (Qt 6.4 has no sendResponse here).
    server.setMissingHandler([counters](const QHttpServerRequest &,
                                        QHttpServerResponder &&responder) {
        ++counters->other;
        responder.write(QHttpServerResponder::StatusCode::NotFound);
    });
#endif
}

void ORTVHttpRoutes::countClosed(ORTVHttpConnectionGuard *guard, ORTVHttpCounters *counters)
{
    QObject::connect(guard, &ORTVHttpConnectionGuard::closingConnection, guard,
                     [counters](ORTVHttpConnectionGuard::Reason reason) {
                         if (reason == ORTVHttpConnectionGuard::Reason::Idle)
                             ++counters->closedIdle;
                         else
                             ++counters->closedOversized;
                     });
}

bool ORTVHttpRoutes::bind(QHttpServer &server, QTcpServer *listener)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    return server.bind(listener);
#else
    server.bind(listener);
    return true;
#endif
}
