#include "ORTVHomeAssistant.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr qsizetype objectIdLength = 16;

QString objectId(const QString &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1)
                                   .toHex().left(objectIdLength));
}

QString sensorConfigTopic(const QString &nodeId, const QString &objectId)
{
    return QStringLiteral("%1/sensor/%2/%3/config")
        .arg(QLatin1String(ORTVHomeAssistant::discoveryPrefix), nodeId, objectId);
}

QString metricObjectId(const ORTVHomeAssistant::Metric &metric)
{
    return QLatin1String("metrics_") + QLatin1String(metric.name);
}

// The device all of the bridge's sensors belong to.
QJsonObject device(const QString &nodeId)
{
    return QJsonObject{
        {QStringLiteral("identifiers"), QJsonArray{nodeId}},
        {QStringLiteral("name"), QStringLiteral("ORTV data server")},
        {QStringLiteral("manufacturer"), QStringLiteral("Orvane")},
        {QStringLiteral("model"), QStringLiteral("ortv-mqtt-bridge")},
    };
}

} // namespace

QString ORTVHomeAssistant::configTopic(const QString &nodeId, const QString &key)
{
    return sensorConfigTopic(nodeId, objectId(key));
}

bool ORTVHomeAssistant::isKeyConfigTopic(const QString &nodeId, const QString &topic)
{
    const QString start =
        QStringLiteral("%1/sensor/%2/").arg(QLatin1String(discoveryPrefix), nodeId);
    const QLatin1String end("/config");
    if (topic.size() != start.size() + objectIdLength + end.size() || !topic.startsWith(start)
        || !topic.endsWith(end)) {
        return false;
    }
    for (const QChar c : QStringView(topic).mid(start.size(), objectIdLength)) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
              || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

QByteArray ORTVHomeAssistant::config(const QString &nodeId, const QString &key,
                                     const QString &stateTopic, const QString &availabilityTopic)
{
    const QJsonObject entry{
        {QStringLiteral("name"), key},
        {QStringLiteral("unique_id"), nodeId + QLatin1Char('_') + objectId(key)},
        {QStringLiteral("state_topic"), stateTopic},
        {QStringLiteral("availability_topic"), availabilityTopic},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("device"), device(nodeId)},
    };
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

QString ORTVHomeAssistant::metricConfigTopic(const QString &nodeId, const Metric &metric)
{
    return sensorConfigTopic(nodeId, metricObjectId(metric));
}

QByteArray ORTVHomeAssistant::metricConfig(const QString &nodeId, const Metric &metric,
                                           const QString &stateTopic,
                                           const QString &availabilityTopic)
{
    QJsonObject entry{
        {QStringLiteral("name"), QLatin1String(metric.name)},
        {QStringLiteral("unique_id"), nodeId + QLatin1Char('_') + metricObjectId(metric)},
        {QStringLiteral("state_topic"), stateTopic},
        {QStringLiteral("unit_of_measurement"), QLatin1String(metric.unit)},
        {QStringLiteral("state_class"), QLatin1String(metric.stateClass)},
        {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
        {QStringLiteral("availability_topic"), availabilityTopic},
        {QStringLiteral("device"), device(nodeId)},
    };
    if (qstrcmp(metric.unit, "B") == 0)
        entry.insert(QStringLiteral("device_class"), QStringLiteral("data_size"));
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

QString ORTVHomeAssistant::nodeId(const QString &clientId)
{
    QString id;
    for (const QChar c : clientId) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_')
            || c == QLatin1Char('-');
        id += allowed ? c : QLatin1Char('_');
    }
    return id.isEmpty() ? QStringLiteral("ortv") : id;
}
