#pragma once

#include "ORTVUDPPeer.h"

#include <QByteArray>
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
class ORTVUDPTransceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr int keepAliveIntervalMs = 29000;
    // Receive buffer asked of the kernel: 8 MiB holds several thousand small datagrams.
    static constexpr int receiveBufferBytes = 8388608;

    explicit ORTVUDPTransceiver(QObject *parent = nullptr, quint16 port = 1234);

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
    template <typename Shown>
    void writeOne(const QByteArray &bytes, const Shown &shown, const QHostAddress &address,
                  quint16 port);
    template <typename Shown>
    void writeToAllPeers(const QByteArray &bytes, const Shown &shown);

    QTimer *keepAliveTimer = nullptr;
    QUdpSocket *udpSocket = nullptr;
    QList<ORTVUDPPeer> peerList;
};
