#include "ORTVMetricsRelay.h"
#include "ORTVHttpReader.h"
#include "ORTVMetricNames.h"
#include "ORTVMqttBridge.h"
#include "ORTVMqttLink.h"

#include <QTimer>

namespace {

using namespace ORTVMetricNames;

// datagrams_per_second is worked out, not read: its series is the received counter.
const ORTVMetricsRelay::Figure figures[] = {
    {{"datagrams_per_second", "datagrams/s", "measurement"}, udpReceivedDatagrams},
    {{"kernel_drops", "datagrams", "total_increasing"}, udpKernelDrops},
    {{"parse_errors", "datagrams", "total_increasing"}, parseErrors},
    {{"peers", "peers", "measurement"}, peers},
    {{"keys", "keys", "measurement"}, storeKeys},
    {{"resident_memory", "B", "measurement"}, residentMemory},
};

QByteArray text(double value)
{
    return QByteArray::number(value, 'f', value == double(qint64(value)) ? 0 : 1);
}

} // namespace

ORTVMetricsRelay::ORTVMetricsRelay(const ORTVBridgeOptions &options, ORTVMqttLink *link,
                                   ORTVMqttBridge *bridge, QObject *parent)
    : QObject(parent)
    , options(options)
    , homeAssistantNode(options.homeAssistantNode())
    , link(link)
    , bridge(bridge)
    , reader(new ORTVHttpReader(this))
    , timer(new QTimer(this))
{
    reader->setServer(options.server, options.metricsPort);
    reader->setTimeout(options.timeoutMs);
    timer->setInterval(options.intervalMs);
    connect(timer, &QTimer::timeout, this, [this] { reader->get(QStringLiteral("/metrics")); });
    connect(reader, &ORTVHttpReader::finished, this, &ORTVMetricsRelay::read);
    // Discovery entries again after every connect: the broker may have lost them.
    connect(link, &ORTVMqttLink::stateChanged, this, [this](ORTVMqttLink::State state) {
        if (state == ORTVMqttLink::ConnectedState) {
            announced = false;
            published.clear();
        }
    });
}

void ORTVMetricsRelay::start()
{
    timer->start();
}

QString ORTVMetricsRelay::topic(const char *name) const
{
    return options.prefix + QLatin1String("/metrics/") + QLatin1String(name);
}

QHash<QByteArray, double> ORTVMetricsRelay::parse(const QByteArray &exposition)
{
    QHash<QByteArray, double> samples;
    for (const QByteArray &line : exposition.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        // The value follows the last space outside the labels (label values may hold spaces).
        const qsizetype labelsEnd = line.lastIndexOf('}');
        const qsizetype space = line.indexOf(' ', labelsEnd < 0 ? 0 : labelsEnd);
        bool ok = false;
        const double value = line.mid(space + 1).split(' ').first().toDouble(&ok);
        if (space > 0 && ok)
            samples.insert(line.left(space), value);
    }
    return samples;
}

void ORTVMetricsRelay::read(const QByteArray &body)
{
    if (!link->isConnected())
        return;
    if (!announced && !homeAssistantNode.isEmpty())
        announce();
    const QHash<QByteArray, double> samples = parse(body);
    const double received = samples.value(udpReceivedDatagrams, -1);
    const qint64 elapsedMs = sinceLastRead.isValid() ? sinceLastRead.restart() : 0;
    if (!sinceLastRead.isValid())
        sinceLastRead.start();
    for (const Figure &figure : figures) {
        if (!samples.contains(figure.series))
            continue;
        double value = samples.value(figure.series);
        if (figure.series == udpReceivedDatagrams) {
            // A first read, or a server restarted since the last one, gives no rate.
            if (lastReceived < 0 || received < lastReceived || elapsedMs <= 0)
                continue;
            value = (received - lastReceived) * 1000.0 / double(elapsedMs);
        }
        publish(figure.sensor.name, text(value));
    }
    lastReceived = received;
}

void ORTVMetricsRelay::publish(const char *name, const QByteArray &payload)
{
    Published &last = published[name];
    if (last.since.isValid() && last.payload == payload && !last.since.hasExpired(refreshMs))
        return;
    last = {payload, {}};
    last.since.start();
    bridge->publishRetained(topic(name), payload, options.qos);
}

void ORTVMetricsRelay::announce()
{
    for (const Figure &figure : figures) {
        bridge->publishRetained(
            ORTVHomeAssistant::metricConfigTopic(homeAssistantNode, figure.sensor),
            ORTVHomeAssistant::metricConfig(homeAssistantNode, figure.sensor,
                                            topic(figure.sensor.name), options.prefix),
            options.qos);
    }
    announced = true;
}
