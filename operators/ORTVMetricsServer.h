#pragma once

#include "ORTVEventPassHistogram.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <functional>

class ORTVRunningDataCore;
class ORTVUDPTransceiver;
class QHttpServer;
struct ORTVHttpCounters;

// Figures of the durable store's saves, for the metrics: a store that saves hands a function
// returning them to setStoreSaveSource.
struct ORTVStoreSaveFigures
{
    quint64 saves = 0;
    quint64 failures = 0;
    double lastSaveTimeSeconds = 0;     // since the epoch; 0 before the first save
    double lastSaveDurationSeconds = 0;
};

// The metrics listener that ORTV_METRICS_ADDRESS=[HOST:]PORT asks for: a second HTTP server on
// the same thread, behind its own connection guard, answering GET and HEAD /metrics in the
// Prometheus text format (404 elsewhere). Every figure is read when a scrape asks for it.
class ORTVMetricsServer : public QObject
{
    Q_OBJECT

public:
    struct Sources
    {
        ORTVRunningDataCore *core = nullptr;
        const ORTVUDPTransceiver *udp = nullptr;
        ORTVHttpCounters *http = nullptr;
    };

    // The listener the environment asks for, or nullptr when the variable is not set or the
    // address cannot be listened on (one warning; the server runs on without it).
    static ORTVMetricsServer *fromEnvironment(const Sources &sources);
    // [HOST:]PORT, HOST an IPv4 or IPv6 address (in brackets with a port); no HOST: any.
    static bool parseAddress(const QString &text, QHostAddress &host, quint16 &port);

    void recordEventPass(qint64 ns) { passes.record(ns); }
    // Hook for the durable store: once set, its save figures are part of every scrape.
    void setStoreSaveSource(std::function<ORTVStoreSaveFigures()> source);

    QByteArray exposition() const;

private:
    explicit ORTVMetricsServer(const Sources &sources);
    bool listen(const QHostAddress &host, quint16 port, QString &error);

    Sources sources;
    QHttpServer *httpServer = nullptr;
    ORTVEventPassHistogram passes;
    std::function<ORTVStoreSaveFigures()> storeSaves;
};
