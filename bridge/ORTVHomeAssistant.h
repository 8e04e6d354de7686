#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Home Assistant's MQTT discovery: the topics of the retained configuration messages, what all
// of the bridge's entities share (their device, their availability), and the metrics relay's
// figures as diagnostic sensors. The keys' own entities are ORTVKeyEntities'.
class ORTVHomeAssistant
{
public:
    static constexpr const char *discoveryPrefix = "homeassistant";
    // The platforms of the keys' entities.
    static constexpr const char *sensor = "sensor";
    static constexpr const char *number = "number";
    static constexpr const char *text = "text";

    // A figure of the metrics relay as a sensor.
    struct Metric
    {
        const char *name; // topic level and sensor id
        const char *unit;
        const char *stateClass;
    };

    // homeassistant/PLATFORM/NODE/OBJECT/config; NODE and OBJECT hold only the characters
    // discovery allows ([A-Za-z0-9_-]): OBJECT is a hash of the key.
    static QString configTopic(const QString &nodeId, const QString &key,
                               const char *platform = sensor);
    static QString objectId(const QString &key);
    // Whether `topic` is the configuration topic of some key under the node, on any of the keys'
    // platforms (not one of the metrics relay's entries, whose object ids are names).
    static bool isKeyConfigTopic(const QString &nodeId, const QString &topic);
    // The subscriptions that cover every key's configuration topics.
    static QStringList keyConfigPatterns(const QString &nodeId);
    // The device all of the bridge's entities belong to.
    static QJsonObject device(const QString &nodeId);
    // Available while both the bridge (PREFIX/bridge) and the server (PREFIX/server) are.
    static void addAvailability(QJsonObject &entry, const QString &prefix);
    static QByteArray toPayload(const QJsonObject &entry);

    // homeassistant/sensor/NODE/metrics_NAME/config.
    static QString metricConfigTopic(const QString &nodeId, const Metric &metric);
    static QByteArray metricConfig(const QString &nodeId, const Metric &metric,
                                   const QString &stateTopic, const QString &prefix);
    // The node id discovery accepts, made from the client id.
    static QString nodeId(const QString &clientId);
};
