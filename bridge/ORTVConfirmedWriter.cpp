#include "ORTVConfirmedWriter.h"

#include <QDebug>
#include <QTimer>

ORTVConfirmedWriter::ORTVConfirmedWriter(ORTVDataClient *client, int timeoutMs, QObject *parent)
    : QObject(parent)
    , client(client)
    , timeoutMs(timeoutMs)
    , timer(new QTimer(this))
    , flushTimer(new QTimer(this))
{
    clock.start();
    // The writes of one pass of the event loop go together.
    flushTimer->setSingleShot(true);
    connect(flushTimer, &QTimer::timeout, this, &ORTVConfirmedWriter::flush);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &ORTVConfirmedWriter::checkTimeouts);
    connect(client, &ORTVDataClient::replyReceived, this, &ORTVConfirmedWriter::replyReceived);
}

void ORTVConfirmedWriter::write(const QString &key, const QString &value)
{
    KeyState &state = keys[key];
    if (state.sent) {
        state.next = value;
        return;
    }
    state.sent = value;
    state.tries = 0;
    toSend.append({key, value});
    flushTimer->start(0);
}

void ORTVConfirmedWriter::sendNext(const QString &key, KeyState &state)
{
    state.sent = state.next;
    state.next.reset();
    state.tries = 0;
    toSend.append({key, *state.sent});
    flushTimer->start(0);
}

void ORTVConfirmedWriter::flush()
{
    if (toSend.isEmpty())
        return;
    QList<ORTVDataClient::Entry> tooLarge;
    const auto parts = ORTVDataClient::splitWrites(toSend, true, &tooLarge);
    toSend.clear();
    for (const ORTVDataClient::Entry &entry : std::as_const(tooLarge)) {
        qWarning().noquote() << QStringLiteral(
            "skipped a value for %1: its SetData does not fit in one datagram").arg(entry.url);
        keys.remove(entry.url);
    }
    const qint64 now = clock.elapsed();
    for (const auto &part : parts) {
        // A datagram the system refused (a firewall rule, a full buffer) is sent again at the
        // timeout like a lost one; only giving up is told.
        client->send(part, true);
        for (const ORTVDataClient::Entry &entry : part) {
            KeyState &state = keys[entry.url];
            ++state.tries;
            state.generation = ++generations;
            sentOrder.push_back({now, entry.url, state.generation});
        }
    }
    armTimer();
}

void ORTVConfirmedWriter::armTimer()
{
    if (!timer->isActive() && !sentOrder.empty())
        timer->start(int(qMax<qint64>(0, sentOrder.front().atMs + timeoutMs - clock.elapsed())));
}

void ORTVConfirmedWriter::replyReceived(const QString &url, const QString &data)
{
    const auto it = keys.find(url);
    // A reply with another value answers an earlier datagram: a write this one replaced.
    if (it == keys.end() || !it->sent || *it->sent != data)
        return;
    if (it->next) {
        sendNext(url, *it);
    } else {
        keys.erase(it);
    }
}

// The sends are queued in the order they went, so the expired ones are at the front; those
// whose key was confirmed or sent again since are stale and dropped.
void ORTVConfirmedWriter::checkTimeouts()
{
    const qint64 now = clock.elapsed();
    QStringList given;
    while (!sentOrder.empty() && now - sentOrder.front().atMs >= timeoutMs) {
        const Sent sent = sentOrder.front();
        sentOrder.pop_front();
        const auto it = keys.find(sent.key);
        if (it == keys.end() || it->generation != sent.generation || !it->sent)
            continue;
        if (it->next) {
            sendNext(sent.key, *it);
        } else if (it->tries < maxTries) {
            toSend.append({sent.key, *it->sent});
        } else {
            given.append(sent.key);
            keys.erase(it);
        }
    }
    if (!given.isEmpty())
        emit gaveUp(given);
    flush();
    armTimer();
}
