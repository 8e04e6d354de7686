#pragma once

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>

class QTcpServer;
struct ORTVHttpCounters;
class ORTVHttpConnectionGuard;

// What both HTTP listeners (the data port and the operators' port) need of Qt's HTTP module
// beyond its routes, with the differences between Qt versions in one place.
namespace ORTVHttpRoutes {

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
// Route handlers get the responder by lvalue reference from Qt 6.5 on, by rvalue reference before.
using Responder = QHttpServerResponder &;
#else
using Responder = QHttpServerResponder &&;
#endif

// Answers HEAD with the head of the GET answer: its status, Content-Type and Content-Length, and
// no body.
void writeHead(QHttpServerResponder &responder, const QHttpServerResponse &answer);

// Routes path to makeAnswer for the given methods (all of them when none is given), and HEAD to
// the head of its answer. Rules are tried in the order they were added, so HEAD goes first.
template <typename MakeAnswer, typename... Methods>
void addRoute(QHttpServer &server, const QString &path, MakeAnswer makeAnswer, Methods... methods)
{
    server.route(path, QHttpServerRequest::Method::Head,
                 [makeAnswer](Responder responder) { writeHead(responder, makeAnswer()); });
    server.route(path, methods..., makeAnswer);
}

// Requests no route takes get the HTTP module's own 404 answer, byte for byte, counted in
// counters->other.
void countMissing(QHttpServer &server, ORTVHttpCounters *counters);

// Closes that guard makes, counted in counters by reason.
void countClosed(ORTVHttpConnectionGuard *guard, ORTVHttpCounters *counters);

// Serves the listener; false when the HTTP module does not take it (which Qt reports from 6.8 on).
bool bind(QHttpServer &server, QTcpServer *listener);

} // namespace ORTVHttpRoutes
