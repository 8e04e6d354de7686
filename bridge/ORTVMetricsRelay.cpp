#include "ORTVMetricsRelay.h"
#include "ORTVHttpReader.h"
#include "ORTVMqttLink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

constexpr const char *receivedSeries = "ortv_udp_received_datagrams_total";
// datagrams_per_second is worked out, not read: its series is the received counter.
const ORTVMetricsRelay::Figure figures[] = {
    {"datagrams_per_second", receivedSeries, "datagrams/s", "measurement"},
    {"kernel_drops", "ortv_udp_kernel_drops_total", "datagrams", "total_increasing"},
    {"parse_errors", "ortv_parse_errors_total", "datagrams", "total_increasing"},
    {"peers", "ortv_peers", "peers", "measurement"},
    {"keys", "ortv_store_keys", "keys", "measurement"},
    {"resident_memory", "process_resident_memory_bytes", "B", "measurement"},
};

QByteArray text(double value)
{
    return QByteArray::number(value, 'f', value == double(qint64(value)) ? 0 : 1);
}

} // namespace

ORTVMetricsRelay::ORTVMetricsRelay(const Settings &settings, ORTVMqttLink *link, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , link(link)
    , reader(new ORTVHttpReader(this))
    , timer(new QTimer(this))
{
    reader->setServer(settings.server, settings.metricsPort);
    reader->setTimeout(settings.timeoutMs);
    timer->setInterval(settings.intervalMs);
    connect(timer, &QTimer::timeout, this, [this] { reader->get(QStringLiteral("/metrics")); });
    connect(reader, &ORTVHttpReader::finished, this, &ORTVMetricsRelay::read);
    // Discovery entries again after every connect: the broker may have lost them.
    connect(link, &ORTVMqttLink::stateChanged, this, [this](ORTVMqttLink::State state) {
        if (state == ORTVMqttLink::ConnectedState)
            announced = false;
    });
}

void ORTVMetricsRelay::start()
{
    timer->start();
}

QString ORTVMetricsRelay::topic(const char *name) const
{
    return settings.prefix + QLatin1String("/metrics/") + QLatin1String(name);
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
    if (!announced && !settings.homeAssistantNode.isEmpty())
        announce();
    const QHash<QByteArray, double> samples = parse(body);
    const double received = samples.value(receivedSeries, -1);
    const qint64 elapsedMs = sinceLastRead.isValid() ? sinceLastRead.restart() : 0;
    if (!sinceLastRead.isValid())
        sinceLastRead.start();
    for (const Figure &figure : figures) {
        if (!samples.contains(figure.series))
            continue;
        double value = samples.value(figure.series);
        if (figure.series == receivedSeries) {
            // A first read, or a server restarted since the last one, gives no rate.
            if (lastReceived < 0 || received < lastReceived || elapsedMs <= 0)
                continue;
            value = (received - lastReceived) * 1000.0 / double(elapsedMs);
        }
        link->publish(topic(figure.name), text(value), settings.qos, true);
    }
    lastReceived = received;
}

void ORTVMetricsRelay::announce()
{
    const QString node = settings.homeAssistantNode;
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), QStringLiteral("ORTV data server")},
        {QStringLiteral("manufacturer"), QStringLiteral("Orvane")},
        {QStringLiteral("model"), QStringLiteral("ortv-mqtt-bridge")},
    };
    for (const Figure &figure : figures) {
        const QString id = QLatin1String("metrics_") + QLatin1String(figure.name);
        QJsonObject entry{
            {QStringLiteral("name"), QLatin1String(figure.name)},
            {QStringLiteral("unique_id"), node + QLatin1Char('_') + id},
            {QStringLiteral("state_topic"), topic(figure.name)},
            {QStringLiteral("unit_of_measurement"), QLatin1String(figure.unit)},
            {QStringLiteral("state_class"), QLatin1String(figure.stateClass)},
            {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
            {QStringLiteral("availability_topic"), settings.prefix + QLatin1String("/bridge")},
            {QStringLiteral("device"), device},
        };
        if (qstrcmp(figure.unit, "B") == 0)
            entry.insert(QStringLiteral("device_class"), QStringLiteral("data_size"));
        link->publish(QStringLiteral("homeassistant/sensor/%1/%2/config").arg(node, id),
                      QJsonDocument(entry).toJson(QJsonDocument::Compact), settings.qos, true);
    }
    announced = true;
}
