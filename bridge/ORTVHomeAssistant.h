#pragma once

#include <QByteArray>
#include <QString>

// Home Assistant's MQTT discovery: one retained configuration message per key makes the key a
// sensor there, with the bridge's state topic as its availability; the metrics relay's figures
// become diagnostic sensors of the same device.
class ORTVHomeAssistant
{
public:
    static constexpr const char *discoveryPrefix = "homeassistant";

    // A figure of the metrics relay as a sensor.
    struct Metric
    {
        const char *name; // topic level and sensor id
        const char *unit;
        const char *stateClass;
    };

    // homeassistant/sensor/NODE/OBJECT/config; NODE and OBJECT hold only the characters
    // discovery allows ([A-Za-z0-9_-]): OBJECT is a hash of the key.
    static QString configTopic(const QString &nodeId, const QString &key);
    // Whether `topic` is the configuration topic of some key under the node (not one of the
    // metrics relay's entries, whose object ids are names).
    static bool isKeyConfigTopic(const QString &nodeId, const QString &topic);
    static QByteArray config(const QString &nodeId, const QString &key, const QString &stateTopic,
                             const QString &availabilityTopic);
    // homeassistant/sensor/NODE/metrics_NAME/config.
    static QString metricConfigTopic(const QString &nodeId, const Metric &metric);
    static QByteArray metricConfig(const QString &nodeId, const Metric &metric,
                                   const QString &stateTopic, const QString &availabilityTopic);
    // The node id discovery accepts, made from the client id.
    static QString nodeId(const QString &clientId);
};
