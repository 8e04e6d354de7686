#include "ORTVHomeAssistant.h"

#include <QCryptographicHash>
#include <QJsonDocument>

namespace {

constexpr qsizetype objectIdLength = 16;
const char *const keyPlatforms[] = {ORTVHomeAssistant::sensor, ORTVHomeAssistant::number,
                                    ORTVHomeAssistant::text};

QString platformConfigTopic(const char *platform, const QString &nodeId, const QString &objectId)
{
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(QLatin1String(ORTVHomeAssistant::discoveryPrefix), QLatin1String(platform), nodeId,
             objectId);
}

QString metricObjectId(const ORTVHomeAssistant::Metric &metric)
{
    return QLatin1String("metrics_") + QLatin1String(metric.name);
}

bool isObjectId(QStringView text)
{
    if (text.size() != objectIdLength)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
              || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

} // namespace

QString ORTVHomeAssistant::configTopic(const QString &nodeId, const QString &key,
                                       const char *platform)
{
    return platformConfigTopic(platform, nodeId, objectId(key));
}

QString ORTVHomeAssistant::objectId(const QString &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1)
                                   .toHex().left(objectIdLength));
}

bool ORTVHomeAssistant::isKeyConfigTopic(const QString &nodeId, const QString &topic)
{
    const QLatin1String end("/config");
    for (const char *platform : keyPlatforms) {
        const QString start = platformConfigTopic(platform, nodeId, QString()).chopped(end.size());
        if (topic.size() == start.size() + objectIdLength + end.size() && topic.startsWith(start)
            && topic.endsWith(end)) {
            return isObjectId(QStringView(topic).mid(start.size(), objectIdLength));
        }
    }
    return false;
}

QStringList ORTVHomeAssistant::keyConfigPatterns(const QString &nodeId)
{
    QStringList patterns;
    for (const char *platform : keyPlatforms)
        patterns.append(platformConfigTopic(platform, nodeId, QStringLiteral("+")));
    return patterns;
}

QJsonObject ORTVHomeAssistant::device(const QString &nodeId)
{
    return QJsonObject{
        {QStringLiteral("identifiers"), QJsonArray{nodeId}},
        {QStringLiteral("name"), QStringLiteral("ORTV data server")},
        {QStringLiteral("manufacturer"), QStringLiteral("Orvane")},
        {QStringLiteral("model"), QStringLiteral("ortv-mqtt-bridge")},
    };
}

void ORTVHomeAssistant::addAvailability(QJsonObject &entry, const QString &prefix)
{
    const auto topic = [&](const char *level, const char *available, const char *not_) {
        return QJsonObject{
            {QStringLiteral("topic"), prefix + QLatin1Char('/') + QLatin1String(level)},
            {QStringLiteral("payload_available"), QLatin1String(available)},
            {QStringLiteral("payload_not_available"), QLatin1String(not_)},
        };
    };
    entry.insert(QStringLiteral("availability"),
                 QJsonArray{topic("bridge", "online", "offline"), topic("server", "up", "down")});
    entry.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
}

QByteArray ORTVHomeAssistant::toPayload(const QJsonObject &entry)
{
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

QString ORTVHomeAssistant::metricConfigTopic(const QString &nodeId, const Metric &metric)
{
    return platformConfigTopic(sensor, nodeId, metricObjectId(metric));
}

QByteArray ORTVHomeAssistant::metricConfig(const QString &nodeId, const Metric &metric,
                                           const QString &stateTopic, const QString &prefix)
{
    QJsonObject entry{
        {QStringLiteral("name"), QLatin1String(metric.name)},
        {QStringLiteral("unique_id"), nodeId + QLatin1Char('_') + metricObjectId(metric)},
        {QStringLiteral("state_topic"), stateTopic},
        {QStringLiteral("unit_of_measurement"), QLatin1String(metric.unit)},
        {QStringLiteral("state_class"), QLatin1String(metric.stateClass)},
        {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
        {QStringLiteral("device"), device(nodeId)},
    };
    addAvailability(entry, prefix);
    if (qstrcmp(metric.unit, "B") == 0)
        entry.insert(QStringLiteral("device_class"), QStringLiteral("data_size"));
    return toPayload(entry);
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
