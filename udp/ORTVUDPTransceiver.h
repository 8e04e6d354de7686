#pragma once

#include "ORTVUDPCounters.h"
#include "ORTVUDPPeerTable.h"

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QObject>
#include <QString>

#include <memory>

class ORTVUDPKeepAliveRounds;
class ORTVUDPReceiveBatch;
class ORTVUDPSendBatch;
class QTimer;
class QUdpSocket;

// The server's UDP endpoint: receives datagrams on all IPv4 interfaces, remembers every sender
// as a peer, and sends to one endpoint or to all peers. Every 29 s its keep-alive timer has its
// child ORTVUDPKeepAliveRounds send the keep-alive frame to all peers through the same socket.
//
// Each event pass hands it a bounded share of time: it stops draining its socket after a
// budget, and what is still pending waits in the kernel for the next pass.
class ORTVUDPTransceiver : public QObject
{
    Q_OBJECT

public:
    // Receive buffer asked of the kernel: 8 MiB holds several thousand small datagrams.
    static constexpr int receiveBufferBytes = 8388608;

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
    // The keep-alive timer's handler: a round of frames to every peer (ORTVUDPKeepAliveRounds).
    void keepAliveTimerTicked();

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
    template <typename Shown>
    void writeOne(const QByteArray &bytes, const Shown &shown, const QHostAddress &address,
                  quint16 port);
    template <typename Shown>
    void writeToAllPeers(const QByteArray &bytes, const Shown &shown);

    QUdpSocket *udpSocket = nullptr;
    QTimer *keepAliveTimer = nullptr;
    ORTVUDPKeepAliveRounds *keepAliveRounds = nullptr;
    std::unique_ptr<ORTVUDPReceiveBatch> receiveBatch;
    // Replies to the datagrams of a batch, sent together once the batch is handled.
    std::unique_ptr<ORTVUDPSendBatch> replyBatch;
    bool queueingReplies = false;
    // Replies sent when the pass last waited for follow-up requests.
    quint64 repliesAtLastWait = 0;
    ORTVUDPPeerTable peerTable;
    ORTVUDPCounters counted;
};
