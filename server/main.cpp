#include "ORTVDataHttpServer.h"
#include "ORTVLocale.h"
#include "ORTVLogFormat.h"
#include "ORTVLoggingRules.h"
#include "ORTVMetricsServer.h"
#include "ORTVRunningDataCore.h"
#include "ORTVServiceNotifier.h"
#include "ORTVStoreSaver.h"
#include "ORTVUDPTransceiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkProxy>
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
constexpr unsigned long pollSleepUs = 10000;

// The one way the server ends by itself: it cannot serve HTTP on its port.
int failToListen()
{
    qStdOut() << "Failed to listen to port 8080 !" << Qt::endl;
    return -1;
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
// own poll-based dispatcher does that with less work per pass than the GLib one, and nothing in
// this process needs GLib's main context.
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

    ORTVDataHttpServer httpServer;
    if (!httpServer.listen(httpPort))
        return failToListen();
    qStdOut() << "Listen on port " << httpServer.serverPort() << Qt::endl;

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

    httpServer.serveData(core);

    ORTVMetricsServer *metrics =
        ORTVMetricsServer::fromEnvironment({core, transceiver, httpServer.counters()});
    if (metrics && saver)
        metrics->setStoreSaveSource([saver]() { return storeSaveFigures(*saver); });

    // Under systemd (Type=notify): ready now that the store is restored and every listener is up.
    auto figures = [core, transceiver]() {
        return ORTVServiceNotifier::Figures{core->getCoreData().size(),
                                            transceiver->peers().size(),
                                            transceiver->counters().datagramsReceived};
    };
    if (ORTVServiceNotifier *notifier = ORTVServiceNotifier::fromEnvironment(figures, &app)) {
        if (saver)
            QObject::connect(saver, &ORTVStoreSaver::finalSaveStarting, notifier,
                             &ORTVServiceNotifier::notifyStopping);
        notifier->notifyReady();
    }

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
