#pragma once

#include "ORTVHttpReader.h"

#include <QElapsedTimer>
#include <QObject>

class QTimer;

// Reads the data server's /Data page every interval (one request at a time, so the HTTP
// connection is kept alive and reused). When /Data fails it asks /Status: a server that does not
// answer that within the timeout is down, and is then asked again with a growing pause.
class ORTVServerPoller : public QObject
{
    Q_OBJECT

public:
    explicit ORTVServerPoller(const QString &host, QObject *parent = nullptr);

    void setInterval(int ms) { intervalMs = ms; }
    void setTimeout(int ms);
    void start();

signals:
    void dataRead(const ORTVHttpReader::Values &values);
    // Only on a change, the first answer or failure included.
    void serverStateChanged(bool up, const QString &reason);

private:
    void poll();
    void answered(const QByteArray &body);
    void notAnswered(const QString &error);
    void setUp(bool up, const QString &reason);
    void scheduleNext();

    ORTVHttpReader *reader = nullptr;
    QTimer *timer = nullptr;
    QElapsedTimer pollStarted;
    QString inFlight;
    int intervalMs = 1000;
    int backoffMs = 0;
    enum State { Unknown, Up, Down } state = Unknown;
};
