#include "ORTVBridgeOptions.h"
#include "ORTVConfirmedWriter.h"
#include "ORTVDataClient.h"
#include "ORTVLocale.h"
#include "ORTVMetricsRelay.h"
#include "ORTVMqttBridge.h"
#include "ORTVMqttLink.h"
#include "ORTVServerPoller.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>

#include <cstdio>

namespace {

int usageError(const QString &message)
{
    std::fprintf(stderr, "ortv-mqtt-bridge: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    ORTVLocale::useUtf8();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ortv-mqtt-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORTV_VERSION));
    // The log is read in the journal, which adds its own time stamps: the message alone.
    qSetMessagePattern(QStringLiteral("%{if-warning}warning: %{endif}%{message}"));

    ORTVBridgeOptions options;
    if (!options.parse(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment()))
        return usageError(options.error);

    ORTVMqttLink link(options);

    // Every datagram goes from one socket: the server makes one peer of the bridge for as long
    // as either runs, and the same one after a restart of the bridge (the first free port of
    // the client's range).
    ORTVDataClient datagrams;
    ORTVConfirmedWriter writer(&datagrams, options.timeoutMs);

    ORTVServerPoller poller(options.server);
    poller.setInterval(options.intervalMs);
    poller.setTimeout(options.timeoutMs);

    ORTVMqttBridge bridge(options, &link, &poller, &writer);
    ORTVMetricsRelay relay(options, &link, &bridge);
    if (!link.setupError().isEmpty())
        return usageError(link.setupError());

    qInfo().noquote() << QStringLiteral("ortv-mqtt-bridge %1: server %2, broker %3:%4, prefix %5")
                             .arg(QStringLiteral(ORTV_VERSION), options.server, options.broker)
                             .arg(options.brokerPort)
                             .arg(options.prefix);
    // The server's address for the datagrams: a name is looked up once, without blocking the
    // thread; the bridge starts when it is known.
    auto start = [&](const QHostAddress &serverAddress) {
        datagrams.setServer(serverAddress);
        if (!datagrams.bindFirstFree(serverAddress) && !datagrams.bind(serverAddress, 0)) {
            usageError(datagrams.errorString());
            return false;
        }
        // The replies to the writes keep coming while a read of /Data holds the thread.
        datagrams.setReceiveBufferSize(8 * 1024 * 1024);
        link.start();
        poller.start();
        if (options.metricsPort != 0)
            relay.start();
        return true;
    };
    const QHostAddress serverAddress(options.server);
    if (!serverAddress.isNull()) {
        if (!start(serverAddress))
            return 2;
    } else {
        QHostInfo::lookupHost(options.server, &app, [&](const QHostInfo &info) {
            if (info.addresses().isEmpty()) {
                usageError(QStringLiteral("cannot find the address of %1").arg(options.server));
                QCoreApplication::exit(2);
                return;
            }
            if (!start(info.addresses().first()))
                QCoreApplication::exit(2);
        });
    }
    return app.exec();
}
