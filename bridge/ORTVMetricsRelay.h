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
// the received counter.
class ORTVMetricsRelay : public QObject
{
    Q_OBJECT

public:
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

    ORTVBridgeOptions options;
    QString homeAssistantNode;
    ORTVMqttLink *link;
    ORTVMqttBridge *bridge;
    ORTVHttpReader *reader;
    QTimer *timer;
    QElapsedTimer sinceLastRead;
    double lastReceived = -1;
    bool announced = false;
};
