#pragma once

#include <QByteArray>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>

class QHostAddress;

// Collects the datagrams written while a batch of received ones is handled and sends them in
// one system call (sendmmsg), in the order they were queued. Sent one by one, every reply
// wakes its client, which on a loaded machine takes the processor from the server at the end
// of each send: a round of context switches per reply instead of one per batch.
class ORTVUDPSendBatch
{
public:
    static constexpr int capacity = 64;

    // Queues bytes for an IPv4 endpoint; false (nothing queued) for any other address.
    // The bytes are shared, not copied. A full batch is sent first.
    bool queue(int descriptor, const QByteArray &bytes, const QHostAddress &address,
               quint16 port);
    // Sends what is queued. A datagram the kernel refuses is skipped, as a single write's
    // failure would be; the others are still sent.
    void flush(int descriptor);
    bool isEmpty() const { return queued == 0; }

private:
    std::array<QByteArray, capacity> payloads;
    std::array<sockaddr_in, capacity> receivers = {};
    std::array<iovec, capacity> vectors = {};
    std::array<mmsghdr, capacity> headers = {};
    int queued = 0;
};
