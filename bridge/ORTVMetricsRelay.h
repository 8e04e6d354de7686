#pragma once

#include "ORTVBridgeOptions.h"
#include "ORTVHomeAssistant.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

class ORTVHttpReader;
class ORTVMqttBridge;
class ORTVMqttLink;
class QTimer;

// Reads the data server's /metrics every interval and publishes a few of its figures, retained,
// on PREFIX/metrics/NAME (with Home Assistant discovery entries, units included, when asked),
// through the bridge's queue to the broker. The datagram rate is worked out from two reads of
// the received counter. A figure goes when it changed, or once a minute when it did not (so that
// its retained message stays fresh for whoever watches its age), and all of them after a connect.
class ORTVMetricsRelay : public QObject
{
    Q_OBJECT

public:
    // How long an unchanged figure waits before it is published again.
    static constexpr qint64 refreshMs = 60000;

    struct Figure
    {
        ORTVHomeAssistant::Metric sensor;
        const char *series; // the series it comes from in the exposition (ORTVMetricNames)
    };

    ORTVMetricsRelay(const ORTVBridgeOptions &options, ORTVMqttLink *link, ORTVMqttBridge *bridge,
                     QObject *parent = nullptr);
    void start();

    // Samples of the exposition without labels or with, "name{labels}" -> value.
    static QHash<QByteArray, double> parse(const QByteArray &exposition);
    QString topic(const char *name) const;

private:
    void read(const QByteArray &body);
    void announce();
    void publish(const char *name, const QByteArray &payload);

    ORTVBridgeOptions options;
    QString homeAssistantNode;
    ORTVMqttLink *link;
    ORTVMqttBridge *bridge;
    ORTVHttpReader *reader;
    QTimer *timer;
    QElapsedTimer sinceLastRead;
    double lastReceived = -1;
    bool announced = false;
    struct Published
    {
        QByteArray payload;
        QElapsedTimer since;
    };
    QHash<const char *, Published> published;
};
