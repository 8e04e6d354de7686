#pragma once

#include "ORTVHttpReader.h"

#include <QElapsedTimer>
#include <QObject>

class QTimer;

// Reads the data server's /Data page every interval (one request at a time, so the HTTP
// connection is kept alive and reused). When /Data fails it asks /Status: a server that does not
// answer that within the timeout is down, and is then asked again with a growing pause. A server
// whose /Status answers while /Data keeps failing (a store too large to send within the timeout)
// is told apart: one line when /Data starts failing and one when it works again.
class ORTVServerPoller : public QObject
{
    Q_OBJECT

public:
    explicit ORTVServerPoller(const QString &host, QObject *parent = nullptr);

    void setInterval(int ms) { intervalMs = ms; }
    void setTimeout(int ms);
    void start();
    // Reads /Data now rather than at the next tick, if the server is up and no read is on its way.
    void readSoon();

signals:
    void dataRead(const ORTVHttpReader::Values &values);
    // Only on a change, the first answer or failure included. Up only while both /Status and
    // /Data answer; `reason` says why not.
    void serverStateChanged(bool up, const QString &reason);

private:
    void poll();
    void answered(const QByteArray &body);
    void notAnswered(const QString &error);
    void setUp(bool up, const QString &reason);
    void setDataFailure(const QString &why);
    void scheduleNext();

    ORTVHttpReader *reader = nullptr;
    QTimer *timer = nullptr;
    QElapsedTimer pollStarted;
    QString inFlight;
    int intervalMs = 1000;
    int backoffMs = 0;
    enum State { Unknown, Up, Down } state = Unknown;
    bool statusAnswers = false;
    QString dataFailure;
    // Why the last read of /Data failed, until /Status says whether the server answers at all.
    QString dataError;
    bool reportedUp = false;
    bool reportedAny = false;
    QString reportedReason;
};
