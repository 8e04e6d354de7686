#pragma once

#include "ORTVUDPCounters.h"
#include "ORTVUDPPeerTable.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QObject>
#include <QString>

#include <memory>

class ORTVUDPReceiveBatch;
class ORTVUDPSendBatch;
class QDateTime;
class QTimer;
class QUdpSocket;

// The server's UDP endpoint: receives datagrams on all IPv4 interfaces, remembers every sender
// as a peer, sends to one endpoint or to all peers, and sends the keep-alive frame to all peers
// every 29 s.
//
// Each event pass hands it a bounded share of time: it stops draining its socket after a
// budget (what is still pending waits in the kernel for the next pass), and a keep-alive round
// over many peers goes out over several passes at a steady pace.
class ORTVUDPTransceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr int keepAliveIntervalMs = 29000;
    // Receive buffer asked of the kernel: 8 MiB holds several thousand small datagrams.
    static constexpr int receiveBufferBytes = 8388608;
    // Pace of a keep-alive round: the first keepAliveBurst peers in the tick's own pass, all
    // with the frame of that tick, then this many a second (50,000 peers in 2.5 s).
    static constexpr qsizetype keepAliveBurst = 200;
    static constexpr qint64 keepAliveFramesPerSecond = 20000;

    explicit ORTVUDPTransceiver(QObject *parent = nullptr, quint16 port = 1234);
    ~ORTVUDPTransceiver() override;

    ORTVUDPPeerTable &peers() { return peerTable; }
    const ORTVUDPPeerTable &peers() const { return peerTable; }
    const ORTVUDPCounters &counters() const { return counted; }
    // The socket's descriptor, for reading the kernel's figures about it.
    qintptr socketDescriptor() const;
    // Send buffer of the socket, in bytes (the kernel's default when not set).
    void setSendBufferSize(int bytes);

    void sendData(const QByteArray &data);
    void sendData(const QString &text);
    void sendData(const QNetworkDatagram &dgram);
    void sendData(const QNetworkDatagram &dgram, QHostAddress address, quint16 port);
    void sendData(const QString &text, QHostAddress address, quint16 port);

    void checkAndAddToList(QHostAddress address, quint16 port);
    void keepAliveTimerTicked();

    // The keep-alive frame for the given UTC time: always 110 bytes of compact JSON.
    static QByteArray keepAliveFrame(const QDateTime &utc);
    // The RX line for one received datagram; the loopback listener writes the same line.
    static void logReceived(const QNetworkDatagram &dgram);

signals:
    void didReceiveData(const QNetworkDatagram &dgram);

private slots:
    void readPendingData();

private:
    void handleDatagram(const QNetworkDatagram &dgram);
    bool takeOneThroughSocket();
    bool awaitFollowUp(int descriptor);
    void sendQueuedReplies();

    void startKeepAliveRound();
    void sendKeepAliveDue();
    void endKeepAlivePass();
    bool writeKeepAlive(const ORTVUDPPeer &peer, const QByteArray &frame);
    const QByteArray &keepAliveFrameNow();
    template <typename Shown>
    void writeOne(const QByteArray &bytes, const Shown &shown, const QHostAddress &address,
                  quint16 port);
    template <typename Shown>
    void writeToAllPeers(const QByteArray &bytes, const Shown &shown);

    QTimer *keepAliveTimer = nullptr;
    QUdpSocket *udpSocket = nullptr;
    std::unique_ptr<ORTVUDPReceiveBatch> receiveBatch;
    // Replies to the datagrams of a batch, sent together once the batch is handled.
    std::unique_ptr<ORTVUDPSendBatch> replyBatch;
    bool queueingReplies = false;
    // Replies sent when the pass last waited for follow-up requests.
    quint64 repliesAtLastWait = 0;
    ORTVUDPPeerTable peerTable;

    // The keep-alive round in progress (or the last one): the next peer and the time since
    // the round began.
    QTimer *keepAlivePacer = nullptr;
    QElapsedTimer keepAliveRound;
    // The wait of a tick that came early for the 29 s since the last round began.
    QTimer *keepAliveDelay = nullptr;
    bool keepAliveRoundOpen = false;
    qsizetype keepAliveNext = 0;
    // A tick came while the round was still open: the next round starts when it ends.
    bool keepAliveTickWaiting = false;
    // The frame of the current millisecond for paced writes, built once however many peers
    // get it.
    QByteArray pacedFrame;
    qint64 pacedFrameMs = -1;

    ORTVUDPCounters counted;
};
