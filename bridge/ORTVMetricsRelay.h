#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

class ORTVHttpReader;
class ORTVMqttLink;
class QTimer;

// Reads the data server's /metrics every interval and publishes a few of its figures, retained,
// on PREFIX/metrics/NAME (with Home Assistant discovery entries, units included, when asked).
// The datagram rate is worked out from two reads of the received counter.
class ORTVMetricsRelay : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString prefix = QStringLiteral("ortv");
        QString server = QStringLiteral("127.0.0.1");
        quint16 metricsPort = 8090;
        int intervalMs = 1000;
        int timeoutMs = 2000;
        int qos = 1;
        // Discovery entries under this node id; none when empty.
        QString homeAssistantNode;
    };
    struct Figure
    {
        const char *name;   // topic level and sensor id
        const char *series; // the series it comes from in the exposition
        const char *unit;
        const char *stateClass;
    };

    ORTVMetricsRelay(const Settings &settings, ORTVMqttLink *link, QObject *parent = nullptr);
    void start();

    // Samples of the exposition without labels or with, "name{labels}" -> value.
    static QHash<QByteArray, double> parse(const QByteArray &exposition);
    QString topic(const char *name) const;

private:
    void read(const QByteArray &body);
    void announce();

    Settings settings;
    ORTVMqttLink *link;
    ORTVHttpReader *reader;
    QTimer *timer;
    QElapsedTimer sinceLastRead;
    double lastReceived = -1;
    bool announced = false;
};
