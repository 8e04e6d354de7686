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
    QNetworkDatagram datagram(int i) const;

private:
    static constexpr int controlBytes = 64;

    QByteArray payloads;  // capacity slots of largestDatagram bytes
    std::array<mmsghdr, capacity> headers = {};
    std::array<iovec, capacity> vectors = {};
    std::array<sockaddr_storage, capacity> senders = {};
    std::array<std::array<char, controlBytes>, capacity> controls = {};
    const quint16 localPort;
};
