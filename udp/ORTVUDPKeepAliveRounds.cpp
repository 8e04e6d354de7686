#include "ORTVUDPKeepAliveRounds.h"
#include "ORTVLogFormat.h"
#include "ORTVUDPCounters.h"
#include "ORTVUDPPeerTable.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QTimer>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// Longest time a later pass of a round spends writing frames.
constexpr int passBudgetMs = 3;
// How much earlier than 29 s after the previous round a tick may come and still wait for the
// 29 s: the timer keeps its phase, so after a tick that a busy pass delayed (by up to the
// transceiver's receive budget and the loop's sleep) the next one comes that much sooner.
constexpr qint64 catchUpMs = 1000;

// One datagram to an endpoint through the descriptor; false only when the send buffer has no
// room for it now. Written with sendto(2) itself, which documents that answer in errno. The
// socket is IPv4: any other address is refused like any failed write.
bool sendUnlessBufferFull(int descriptor, const QByteArray &bytes, const QHostAddress &address,
                          quint16 port)
{
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return true;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address.toIPv4Address());
    ssize_t sent;
    do {
        sent = ::sendto(descriptor, bytes.constData(), size_t(bytes.size()), 0,
                        reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS);
}

} // namespace

ORTVUDPKeepAliveRounds::ORTVUDPKeepAliveRounds(int descriptor, const ORTVUDPPeerTable &peers,
                                               ORTVUDPCounters &counted, QObject *parent)
    : QObject(parent), descriptor(descriptor), peerTable(peers), counted(counted)
{
    // Runs while a round is unfinished: once an event pass.
    pacer = new QTimer(this);
    pacer->setTimerType(Qt::PreciseTimer);
    pacer->setInterval(1);
    connect(pacer, &QTimer::timeout, this, &ORTVUDPKeepAliveRounds::sendDue);

    delay = new QTimer(this);
    delay->setTimerType(Qt::PreciseTimer);
    delay->setSingleShot(true);
    connect(delay, &QTimer::timeout, this, &ORTVUDPKeepAliveRounds::startRound);
}

// A round goes to every peer once. A tick that comes while the previous round is still open
// (a send buffer that stayed full, a huge peer list) lets that round finish first and starts
// the next one then, so no peer misses a round and none gets two frames in one.
//
// A tick that comes a little less than 29 s after the previous round began (that round's tick
// was late) waits for the 29 s, so a peer's frames are never less than 29 s apart.
void ORTVUDPKeepAliveRounds::tick()
{
    if (roundOpen || delay->isActive()) {
        tickWaiting = true;
        return;
    }
    const qint64 early = round.isValid() ? intervalMs - round.elapsed() : 0;
    if (early > 0 && early <= catchUpMs) {
        delay->start(int(early));
        return;
    }
    startRound();
}

// The round's own pass: the clock is read once, and the first `burst` peers get that one
// frame, byte for byte the same. Only the peers paced into later passes get frames stamped
// when they are written: one stamp for the whole round would be seconds old for the last of
// tens of thousands. As every round keeps the same pace, each peer's frames are 29 s apart.
void ORTVUDPKeepAliveRounds::startRound()
{
    const QByteArray bytes = frame(QDateTime::currentDateTimeUtc());
    round.start();
    roundOpen = true;
    next = 0;
    ++counted.keepAliveRounds;
    const qsizetype first = qMin(peerTable.size(), burst);
    while (next < first) {
        if (!write(peerTable.at(next), bytes))
            break;  // the send buffer is full: the same peer in a later pass
        ++next;
    }
    endPass();
}

// A later pass of the round: the peers whose turn has come, within the pass's budget.
void ORTVUDPKeepAliveRounds::sendDue()
{
    const qint64 paced = round.nsecsElapsed() * framesPerSecond / 1000000000;
    const qsizetype due = qMin(peerTable.size(), burst + paced);
    QElapsedTimer spent;
    spent.start();
    while (next < due && !spent.hasExpired(passBudgetMs)) {
        if (!write(peerTable.at(next), frameNow()))
            break;  // the send buffer is full: the same peer in the next pass
        ++next;
    }
    endPass();
}

void ORTVUDPKeepAliveRounds::endPass()
{
    if (next < peerTable.size()) {
        pacer->start();
        return;
    }
    pacer->stop();
    roundOpen = false;
    counted.lastKeepAliveRoundNs = round.nsecsElapsed();
    if (tickWaiting) {
        tickWaiting = false;
        startRound();
    }
}

const QByteArray &ORTVUDPKeepAliveRounds::frameNow()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != pacedFrameMs) {
        pacedFrame = frame(QDateTime::fromMSecsSinceEpoch(now, QTimeZone::utc()));
        pacedFrameMs = now;
    }
    return pacedFrame;
}

// False when the socket's send buffer has no room now; the frame was not sent and no TX line
// written. Any other failure is written as an attempt, like every send of the transceiver.
bool ORTVUDPKeepAliveRounds::write(const ORTVUDPPeer &peer, const QByteArray &bytes)
{
    if (!sendUnlessBufferFull(descriptor, bytes, peer.address, peer.port)) {
        ++counted.keepAliveBufferWaits;
        return false;
    }
    ++counted.keepAlivesSent;
    ORTVLogFormat::logSent(peer.address, peer.port, bytes);
    return true;
}

QByteArray ORTVUDPKeepAliveRounds::frame(const QDateTime &utc)
{
    QJsonObject alive;
    alive.insert(QLatin1String("url"), QLatin1String("com.orvane.xcvr.keep.alive"));
    alive.insert(QLatin1String("data"), 1);
    QJsonObject clock;
    clock.insert(QLatin1String("url"), QLatin1String("com.orvane.date.utc"));
    clock.insert(QLatin1String("data"), utc.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss.zzz")));
    return QJsonDocument(QJsonArray{alive, clock}).toJson(QJsonDocument::Compact);
}
