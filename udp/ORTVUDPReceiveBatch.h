#pragma once

#include <QByteArray>
#include <QNetworkDatagram>

#include <sys/socket.h>

#include <array>

// Takes up to `capacity` datagrams from a UDP socket's descriptor in one system call
// (recvmmsg), each whole (up to the largest UDP payload), with its sender and the packet
// information the socket was asked to deliver, as QUdpSocket::receiveDatagram gives them.
class ORTVUDPReceiveBatch
{
public:
    static constexpr int capacity = 32;
    // Room for the largest UDP payload (65,507 bytes over IPv4).
    static constexpr int largestDatagram = 65536;

    // localPort: the port the socket is bound to, each datagram's destination port.
    explicit ORTVUDPReceiveBatch(quint16 localPort);

    // Datagrams taken now, without waiting; 0 when none is pending or the read failed.
    int receive(int descriptor);
    // Datagram `i` of the last receive, 0 <= i < its count.
    QNetworkDatagram datagram(int i);
    // Room for one datagram read by other means (the first slot: read it before the next
    // receive), and that datagram. Its destination is the socket's port; the other packet
    // information is not known.
    char *spareBuffer() { return payloads.data(); }
    QNetworkDatagram spareDatagram(qint64 size, const QHostAddress &sender, quint16 port) const;

private:
    static constexpr int controlBytes = 64;
    // The last sender's and destination's IPv4 addresses: the next datagram shares their text
    // and storage instead of building them again, as most come from the same few hosts.
    static const QHostAddress &cachedIPv4(quint32 address, QHostAddress *cache);

    QByteArray payloads;  // capacity slots of largestDatagram bytes
    std::array<mmsghdr, capacity> headers = {};
    std::array<iovec, capacity> vectors = {};
    std::array<sockaddr_storage, capacity> senders = {};
    std::array<std::array<char, controlBytes>, capacity> controls = {};
    const quint16 localPort;
    QHostAddress lastSender;
    QHostAddress lastDestination;
};
