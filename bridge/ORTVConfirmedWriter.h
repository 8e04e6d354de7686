#pragma once

#include "ORTVDataClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <deque>
#include <optional>

class QTimer;

// Writes to the data server that are known to be stored: every SetData datagram reads its
// values back, and a read-back value equal to the one written confirms the write (the server
// handles one datagram at once). What is not confirmed within the timeout is sent again, up to
// a number of tries, then given up with one warning naming the keys.
//
// One write per key is on its way at a time, so a key's writes reach the server in the order
// they came. A write that comes while one of its key is on its way waits, and a later one
// replaces it; the waiting write goes once the one on its way is confirmed or has timed out
// (an older value that the newer one replaces need not arrive).
class ORTVConfirmedWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxTries = 10;

    ORTVConfirmedWriter(ORTVDataClient *client, int timeoutMs, QObject *parent = nullptr);

    void write(const QString &key, const QString &value);
    // Sends what came since the last flush, in as few datagrams as fit; runs by itself on the
    // event loop's next pass after a write.
    void flush();
    qsizetype unconfirmed() const { return keys.size(); }

signals:
    void gaveUp(const QStringList &keys);

private:
    struct KeyState
    {
        std::optional<QString> sent;   // on its way, not yet confirmed
        std::optional<QString> next;   // waiting for `sent`
        int tries = 0;
        quint64 generation = 0;        // which send the timeout queue's entries refer to
    };
    struct Sent
    {
        qint64 atMs;
        QString key;
        quint64 generation;
    };

    void replyReceived(const QString &url, const QString &data);
    void checkTimeouts();
    void sendNext(const QString &key, KeyState &state);
    void armTimer();

    ORTVDataClient *client;
    int timeoutMs;
    QTimer *timer;
    QTimer *flushTimer;
    QElapsedTimer clock;
    QHash<QString, KeyState> keys;
    QList<ORTVDataClient::Entry> toSend;
    std::deque<Sent> sentOrder;
    quint64 generations = 0;
};
