#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

struct ORTVUDPCounters;
class ORTVUDPPeer;
class ORTVUDPPeerTable;
class QDateTime;
class QTimer;

// Sends the keep-alive frame to every peer at each tick of the transceiver's keep-alive timer,
// written straight to the UDP socket's descriptor. A round over many peers goes out over several event passes at a steady pace, so
// each pass still has time for the datagrams that arrive meanwhile.
class ORTVUDPKeepAliveRounds : public QObject
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 29000;
    // Pace of a round: the first `burst` peers in the tick's own pass, all with the frame of
    // that tick, then this many a second (50,000 peers in 2.5 s).
    static constexpr qsizetype burst = 200;
    static constexpr qint64 framesPerSecond = 20000;

    // The peer table and the counters must outlive the rounds: the transceiver that holds them
    // is the rounds' parent.
    ORTVUDPKeepAliveRounds(int descriptor, const ORTVUDPPeerTable &peers,
                           ORTVUDPCounters &counted, QObject *parent);

    // A tick of the transceiver's 29 s keep-alive timer: a round starts now, or when the one
    // still open ends, or at the 29 s of the last round when it came early.
    void tick();

    // The keep-alive frame for the given UTC time: always 110 bytes of compact JSON.
    static QByteArray frame(const QDateTime &utc);

private:
    void startRound();
    void sendDue();
    void endPass();
    bool write(const ORTVUDPPeer &peer, const QByteArray &bytes);
    const QByteArray &frameNow();

    const int descriptor;
    const ORTVUDPPeerTable &peerTable;
    ORTVUDPCounters &counted;

    // The round in progress (or the last one): the next peer and the time since it began.
    QTimer *pacer = nullptr;
    QElapsedTimer round;
    // The wait of a tick that came early for the 29 s since the last round began.
    QTimer *delay = nullptr;
    bool roundOpen = false;
    qsizetype next = 0;
    // A tick came while the round was still open: the next round starts when it ends.
    bool tickWaiting = false;
    // The frame of the current millisecond for paced writes, built once however many peers
    // get it.
    QByteArray pacedFrame;
    qint64 pacedFrameMs = -1;
};
