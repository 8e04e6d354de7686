#include "ORTVDataJson.h"
#include "ORTVHttpConnectionGuard.h"
#include "ORTVHttpCounters.h"
#include "ORTVLocale.h"
#include "ORTVLogFormat.h"
#include "ORTVLoggingRules.h"
#include "ORTVMetricsServer.h"
#include "ORTVRunningDataCore.h"
#include "ORTVStoreSaver.h"
#include "ORTVUDPTransceiver.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

QTextStream &qStdOut()
{
    static QTextStream stream(stdout);
    return stream;
}

namespace {

constexpr quint16 httpPort = 8080;
constexpr quint16 udpPort = 1234;
// Connections that arrive while the loop sleeps wait in the kernel's accept queue; with Qt's
// default of 50 a burst of clients overflows it and the dropped ones retry only after 1, 3, 7 s.
constexpr int httpListenBacklog = 1024;
constexpr unsigned long pollSleepUs = 10000;

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
// Route handlers get the responder by lvalue reference from Qt 6.5 on, by rvalue reference before.
using Responder = QHttpServerResponder &;
#else
using Responder = QHttpServerResponder &&;
#endif

// Answers HEAD with the head of the GET answer: its status, Content-Type and Content-Length, and
// no body. The HTTP module writes the body of any answer it is given and counts Content-Length
// from it; only for a device does it take the length from size() and send what is left to read,
// so a device standing at its end gives the GET answer's length and nothing after the head.
void writeHead(QHttpServerResponder &responder, const QHttpServerResponse &answer)
{
    auto *body = new QBuffer; // the responder takes it and deletes it once written
    body->setData(answer.data());
    body->open(QIODevice::ReadOnly);
    body->seek(body->size());
    responder.write(body, answer.mimeType(), answer.statusCode());
}

// Every method gets the same answer on the path; HEAD gets its head alone (writeHead). Rules are
// tried in the order they were added, so the HEAD rule goes first.
template <typename MakeAnswer>
void addRoute(QHttpServer &server, const QString &path, MakeAnswer makeAnswer)
{
    server.route(path, QHttpServerRequest::Method::Head,
                 [makeAnswer](Responder responder) { writeHead(responder, makeAnswer()); });
    server.route(path, makeAnswer);
}

QJsonObject statusObject()
{
    QJsonObject status;
    status.insert(QLatin1String("message"), QLatin1String("Current Server status"));
    status.insert(QLatin1String("status"), QLatin1String("success"));
    return status;
}

// The one way the server ends by itself: it cannot serve HTTP on its port.
int failToListen(QTcpServer *tcpServer)
{
    qStdOut() << "Failed to listen to port 8080 !" << Qt::endl;
    delete tcpServer;
    return -1;
}

bool bindListener(QHttpServer &httpServer, QTcpServer *tcpServer)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // bind() reports a failure from Qt 6.8 on; a server that would not answer on its port
    // fails like a failed listen.
    return httpServer.bind(tcpServer);
#else
    httpServer.bind(tcpServer);
    return true;
#endif
}

// With the trace on, every SetData writes the whole store as one line, and the message handler
// makes copies of it (tens of kB with a thousand keys) that are freed again at once. glibc
// would give the freed top of the heap back to the kernel after each line and fault it in again
// for the next (mmap'ing and unmapping the copies of larger stores): most of the trace's cost.
// Keep up to 8 MiB of it and serve blocks of up to 4 MiB from the heap instead.
void keepHeapBetweenLines()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
#endif
}

// stderr is unbuffered, so a long line went out in 8 kB writes. Qt's message handler flushes
// stderr after every message: with a buffer each line is one write, as soon as it is complete.
void writeEachLogLineAtOnce()
{
    static char buffer[64 * 1024];
    std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
}

ORTVStoreSaveFigures storeSaveFigures(const ORTVStoreSaver &saver)
{
    ORTVStoreSaveFigures figures;
    figures.saves = saver.savesDone();
    figures.failures = saver.savesFailed();
    if (saver.lastSaveTime().isValid())
        figures.lastSaveTimeSeconds = saver.lastSaveTime().toMSecsSinceEpoch() / 1000.0;
    figures.lastSaveDurationSeconds = saver.lastSaveDurationMs() / 1000.0;
    return figures;
}

// Each pass of the loop asks the event dispatcher once for what is ready, without waiting. Qt's
// own poll-based dispatcher does that with less work per pass than the GLib one (about 15 us
// less on an idle pass), and nothing in this process needs GLib's main context.
void usePlainEventDispatcher()
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

} // namespace

int main(int argc, char **argv)
{
    ORTVLoggingRules::holdHangups();
    keepHeapBetweenLines();
    writeEachLogLineAtOnce();
    ORTVLocale::useUtf8();
    ORTVLoggingRules::takeOverConfigFile();
    usePlainEventDispatcher();
    QCoreApplication app(argc, argv);
    // Lives until the process is killed; applies the rules before the first log line.
    new ORTVLoggingRules(&app);
    // The server only listens: it has no use for a proxy, and looking up the system's proxy
    // settings would start a helper thread in this otherwise single-threaded process.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    // Each console line is flushed at once so a live log shows it when it happens.
    qStdOut() << "Orvane Tarvic NG Main Data Server Starting ..." << Qt::endl;

    ORTVHttpCounters httpCounters;
    QHttpServer httpServer;
    addRoute(httpServer, QStringLiteral("/"), [&httpCounters]() {
        ++httpCounters.root;
        return QHttpServerResponse("Orvane Tarvic", QHttpServerResponder::StatusCode::Ok);
    });
    addRoute(httpServer, QStringLiteral("/Status"), [&httpCounters]() {
        ++httpCounters.status;
        return QHttpServerResponse(statusObject(), QHttpServerResponder::StatusCode::Ok);
    });

    auto *tcpServer = new QTcpServer(&httpServer);
    tcpServer->setListenBacklogSize(httpListenBacklog);
    if (!tcpServer->listen(QHostAddress::Any, httpPort))
        return failToListen(tcpServer);
    // Closes idle and oversized connections, and resumes accepting after running out of file
    // descriptors. It must see each connection before the HTTP server does.
    auto *guard = new ORTVHttpConnectionGuard(tcpServer);
    if (!bindListener(httpServer, tcpServer))
        return failToListen(tcpServer);
    qStdOut() << "Listen on port " << tcpServer->serverPort() << Qt::endl;

    // Both live until the process is killed.
    auto *core = new ORTVRunningDataCore(nullptr);
    // Before the UDP socket exists: the store file's values are the store's first contents.
    ORTVStoreSaver *saver = ORTVStoreSaver::fromEnvironment(core, &app);
    auto *transceiver = new ORTVUDPTransceiver(nullptr, udpPort);

    QObject::connect(transceiver, &ORTVUDPTransceiver::didReceiveData,
                     [core](const QNetworkDatagram &dgram) { core->receivedDataFromClient(dgram); });
    QObject::connect(core, &ORTVRunningDataCore::needToSendFrame,
                     [transceiver](const QNetworkDatagram &d, const QHostAddress &adr,
                                   quint16 port) {
                         ORTVLogFormat::logSending(adr, port);
                         transceiver->sendData(d, adr, port);
                     });

    addRoute(httpServer, QStringLiteral("/Data"), [core, &httpCounters]() {
        ++httpCounters.data;
        return QHttpServerResponse(QByteArrayLiteral("application/json"),
                                   ORTVDataJson::document(core->getCoreData()),
                                   QHttpServerResponder::StatusCode::Ok);
    });

    ORTVMetricsServer *metrics =
        ORTVMetricsServer::fromEnvironment({core, transceiver, &httpCounters}, httpServer, guard);
    if (metrics && saver)
        metrics->setStoreSaveSource([saver]() { return storeSaveFigures(*saver); });

    // The application's own event loop is never entered: poll, then sleep, for ever.
    QElapsedTimer pass;
    for (;;) {
        pass.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (metrics)
            metrics->recordEventPass(pass.nsecsElapsed());
        QThread::usleep(pollSleepUs);
    }
}
