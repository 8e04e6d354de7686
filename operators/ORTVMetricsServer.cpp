#include "ORTVMetricsServer.h"
#include "ORTVHttpConnectionGuard.h"
#include "ORTVHttpCounters.h"
#include "ORTVHttpRoutes.h"
#include "ORTVMetricNames.h"
#include "ORTVMetricsText.h"
#include "ORTVProcessFigures.h"
#include "ORTVRunningDataCore.h"
#include "ORTVUDPSocketFigures.h"
#include "ORTVUDPTransceiver.h"

#include <QDebug>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>

namespace {

QHttpServerResponse metricsAnswer(const ORTVMetricsServer *metrics)
{
    return QHttpServerResponse(QByteArray(ORTVMetricsText::contentType), metrics->exposition(),
                               QHttpServerResponder::StatusCode::Ok);
}

void writeStore(ORTVMetricsText &text, ORTVRunningDataCore *core)
{
    const QHash<QString, QString> store = core->getCoreData();
    // Text is held as UTF-16; each node of the hash adds about its own size again.
    qint64 bytes = 0;
    for (auto it = store.cbegin(); it != store.cend(); ++it)
        bytes += 2 * (it.key().size() + it.value().size()) + 48;
    text.gauge(ORTVMetricNames::storeKeys, "Keys in the store.", double(store.size()));
    text.gauge("ortv_store_bytes", "Estimate of the memory the store's keys and values take.",
               double(bytes));
    text.counter("ortv_store_changes_total",
                 "Changes of the store: keys added and values that differ from the stored one.",
                 core->changeCount());
}

void writeCore(ORTVMetricsText &text, const ORTVCoreCounters &core)
{
    text.family("ortv_commands_total", "counter", "Command objects carried out, by command.");
    text.sample("ortv_commands_total", "command=\"SetData\"", core.setData);
    text.sample("ortv_commands_total", "command=\"ReadData\"", core.readData);
    text.counter(ORTVMetricNames::parseErrors, "Datagrams that were not valid JSON.",
                 core.parseErrors);
    text.counter("ortv_ignored_objects_total",
                 "Command objects (or array elements) that neither stored nor read anything.",
                 core.ignoredObjects);
}

void writeUdp(ORTVMetricsText &text, const ORTVUDPTransceiver &udp)
{
    const ORTVUDPCounters &c = udp.counters();
    text.counter(ORTVMetricNames::udpReceivedDatagrams, "Datagrams received.", c.datagramsReceived);
    text.counter("ortv_udp_received_bytes_total", "Payload bytes received.", c.bytesReceived);
    text.family("ortv_udp_sent_datagrams_total", "counter", "Datagrams sent, by kind.");
    text.sample("ortv_udp_sent_datagrams_total", "kind=\"reply\"", c.repliesSent);
    text.sample("ortv_udp_sent_datagrams_total", "kind=\"keepalive\"", c.keepAlivesSent);
    text.counter("ortv_udp_keepalive_buffer_waits_total",
                 "Times a keep-alive round waited for room in the send buffer.",
                 c.keepAliveBufferWaits);
    text.counter("ortv_udp_receive_budget_exhausted_total",
                 "Event passes that left datagrams in the kernel because their time for UDP "
                 "ran out (the server is overloaded when this rises steadily).",
                 c.receiveBudgetExhausted);
    const ORTVUDPSocketFigures kernel = ORTVUDPSocketFigures::of(udp.socketDescriptor());
    if (kernel.found) {
        text.counter(ORTVMetricNames::udpKernelDrops,
                     "Datagrams the kernel dropped for the server's UDP socket (buffer full).",
                     kernel.drops);
        text.gauge("ortv_udp_receive_queue_bytes",
                   "Bytes waiting in the UDP socket's receive buffer.",
                   double(kernel.receiveQueueBytes));
    }
    text.gauge(ORTVMetricNames::peers,
               "Peers (endpoints heard from) the server sends keep-alives to.",
               double(udp.peers().size()));
    text.gauge("ortv_peer_limit", "Most peers remembered.", double(udp.peers().limit()));
    text.counter("ortv_peers_given_way_total",
                 "Peers forgotten to make room for new ones at the peer limit.", c.peersGivenWay);
    text.counter("ortv_keepalive_rounds_total", "Keep-alive rounds started.", c.keepAliveRounds);
    text.gauge("ortv_keepalive_last_round_duration_seconds",
               "Time the last finished keep-alive round took to reach every peer.",
               double(c.lastKeepAliveRoundNs) / 1e9);
}

void writeHttp(ORTVMetricsText &text, const ORTVHttpCounters &http)
{
    text.family("ortv_http_requests_total", "counter",
                "Requests on the HTTP port, by route (other: answered 404).");
    text.sample("ortv_http_requests_total", "route=\"/\"", http.root);
    text.sample("ortv_http_requests_total", "route=\"/Status\"", http.status);
    text.sample("ortv_http_requests_total", "route=\"/Data\"", http.data);
    text.sample("ortv_http_requests_total", "route=\"other\"", http.other);
    text.family("ortv_http_connections_closed_total", "counter",
                "HTTP connections (both listeners) the connection guard closed, by reason.");
    text.sample("ortv_http_connections_closed_total", "reason=\"idle\"", http.closedIdle);
    text.sample("ortv_http_connections_closed_total", "reason=\"oversized\"", http.closedOversized);
}

void writeStoreSaves(ORTVMetricsText &text, const ORTVStoreSaveFigures &saves)
{
    text.counter("ortv_store_file_saves_total", "Saves of the store file.", saves.saves);
    text.counter("ortv_store_file_save_failures_total", "Saves of the store file that failed.",
                 saves.failures);
    text.gauge("ortv_store_file_last_save_timestamp_seconds",
               "Time of the last save of the store file, since the epoch.",
               saves.lastSaveTimeSeconds);
    text.gauge("ortv_store_file_last_save_duration_seconds",
               "Time the last save of the store file took.", saves.lastSaveDurationSeconds);
}

QByteArray buildInfoLabels()
{
    return "version=\"" + QByteArray(ORTV_VERSION) + "\",qt=\"" + QByteArray(qVersion()) + '"';
}

} // namespace

ORTVMetricsServer::ORTVMetricsServer(const Sources &sources)
    : sources(sources)
{
}

ORTVMetricsServer *ORTVMetricsServer::fromEnvironment(const Sources &sources)
{
    const QString address = qEnvironmentVariable("ORTV_METRICS_ADDRESS");
    if (address.isEmpty())
        return nullptr;
    QHostAddress host;
    quint16 port = 0;
    QString error = QStringLiteral("not [HOST:]PORT");
    // Lives until the process is killed, like the data server's parts.
    auto *metrics = new ORTVMetricsServer(sources);
    if (!parseAddress(address, host, port) || !metrics->listen(host, port, error)) {
        qWarning().nospace().noquote() << "Metrics not served: cannot listen on " << address
                                       << " (" << error << ")";
        delete metrics;
        return nullptr;
    }
    qInfo().nospace().noquote() << "Metrics served on " << address << " /metrics";
    return metrics;
}

bool ORTVMetricsServer::parseAddress(const QString &text, QHostAddress &host, quint16 &port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString hostText = colon < 0 ? QString() : text.left(colon);
    if (hostText.startsWith(QLatin1Char('[')) && hostText.endsWith(QLatin1Char(']')))
        hostText = hostText.mid(1, hostText.size() - 2);
    bool number = false;
    const uint portNumber = text.mid(colon + 1).toUInt(&number);
    if (!number || portNumber == 0 || portNumber > 65535)
        return false;
    port = quint16(portNumber);
    if (hostText.isEmpty()) {
        host = QHostAddress(QHostAddress::Any);
        return colon < 0;
    }
    return host.setAddress(hostText);
}

bool ORTVMetricsServer::listen(const QHostAddress &host, quint16 port, QString &error)
{
    httpServer = new QHttpServer(this);
    auto *tcpServer = new QTcpServer(httpServer);
    if (!tcpServer->listen(host, port)) {
        error = tcpServer->errorString();
        return false;
    }
    ORTVHttpRoutes::countClosed(new ORTVHttpConnectionGuard(tcpServer), sources.http);
    ORTVHttpRoutes::addRoute(
        *httpServer, QStringLiteral("/metrics"), [this]() { return metricsAnswer(this); },
        QHttpServerRequest::Method::Get);
    if (!ORTVHttpRoutes::bind(*httpServer, tcpServer)) {
        error = QStringLiteral("the HTTP module did not take the listener");
        return false;
    }
    return true;
}

void ORTVMetricsServer::setStoreSaveSource(std::function<ORTVStoreSaveFigures()> source)
{
    storeSaves = std::move(source);
}

QByteArray ORTVMetricsServer::exposition() const
{
    ORTVMetricsText text;
    writeUdp(text, *sources.udp);
    passes.write(text);
    writeCore(text, sources.core->counters());
    writeStore(text, sources.core);
    writeHttp(text, *sources.http);
    if (storeSaves)
        writeStoreSaves(text, storeSaves());
    ORTVProcessFigures::write(text);
    text.family("ortv_build_info", "gauge", "Version of the server and of the Qt it runs with.");
    text.sample("ortv_build_info", buildInfoLabels().constData(), quint64(1));
    return text.text();
}
