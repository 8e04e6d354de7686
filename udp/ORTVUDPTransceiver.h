#pragma once

#include "ORTVUDPCounters.h"
#include "ORTVUDPPeer.h"
#include "ORTVUDPPeerIndex.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QObject>
#include <QString>

class QDateTime;
class QTimer;
class QUdpSocket;

// The server's UDP endpoint: receives datagrams on all IPv4 interfaces, remembers every sender
// as a peer, sends to one endpoint or to all peers, and sends the keep-alive frame to all peers
// every 29 s.
//
// Each event pass hands it a bounded share of time: it stops draining its socket after
// receiveBudgetMs (what is still pending waits in the kernel for the next pass), and a
// keep-alive round over many peers goes out over several passes at a steady pace.
class ORTVUDPTransceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr int keepAliveIntervalMs = 29000;
    // Receive buffer asked of the kernel: 8 MiB holds several thousand small datagrams.
    static constexpr int receiveBufferBytes = 8388608;
    // Longest time one call of readPendingData spends draining the socket, so that HTTP
    // requests and timers get their turn while datagrams arrive faster than they are handled.
    static constexpr int receiveBudgetMs = 20;
    // Room for the largest UDP payload: reading into it spares asking the kernel for each
    // datagram's size first.
    static constexpr qint64 largestDatagram = 65536;
    // Most peers remembered. At the limit a new endpoint takes the place of the peer heard
    // from longest ago.
    static constexpr qsizetype defaultPeerLimit = 50000;
    // Pace of a keep-alive round: the first keepAliveBurst peers at the tick, then this many a
    // second (50,000 peers in 2.5 s), each pass spending at most keepAlivePassBudgetMs on it.
    static constexpr qsizetype keepAliveBurst = 200;
    static constexpr qint64 keepAliveFramesPerSecond = 20000;
    static constexpr int keepAlivePassBudgetMs = 3;

    explicit ORTVUDPTransceiver(QObject *parent = nullptr, quint16 port = 1234);

    void setPeerLimit(qsizetype limit) { peerLimit = qMax<qsizetype>(1, limit); }
    qsizetype peerCount() const { return peerList.size(); }
    qsizetype peerLimitValue() const { return peerLimit; }
    const ORTVUDPCounters &counters() const { return counted; }
    // The socket's descriptor, for reading the kernel's figures about it.
    qintptr socketDescriptor() const;
    const ORTVUDPPeer &peerAt(qsizetype position) const { return peerList.at(position); }
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
    void forgetStalestFor(const QHostAddress &address, quint16 port);
    void reportPeersGivenWay();
    void sendKeepAliveDue();
    bool writeKeepAlive(const ORTVUDPPeer &peer);
    template <typename Shown>
    void writeOne(const QByteArray &bytes, const Shown &shown, const QHostAddress &address,
                  quint16 port);
    template <typename Shown>
    void writeToAllPeers(const QByteArray &bytes, const Shown &shown);

    QTimer *keepAliveTimer = nullptr;
    QUdpSocket *udpSocket = nullptr;
    QList<ORTVUDPPeer> peerList;
    // Position of each peer in peerList, and which was heard from longest ago.
    ORTVUDPPeerIndex peerIndex;
    qsizetype peerLimit = defaultPeerLimit;
    // Peers that gave way since the last warning, which is written at most once a second.
    qint64 peersGivenWay = 0;
    QTimer *givenWayReport = nullptr;

    // The keep-alive round in progress: the next peer and the time since the tick.
    QTimer *keepAlivePacer = nullptr;
    QElapsedTimer keepAliveRound;
    qsizetype keepAliveNext = 0;
    // The frame for the current millisecond, built once however many peers get it.
    QByteArray keepAliveBytes;
    qint64 keepAliveBytesMs = -1;

    ORTVUDPCounters counted;
};
