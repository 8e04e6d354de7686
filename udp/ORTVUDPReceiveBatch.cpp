#include "ORTVUDPReceiveBatch.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

ORTVUDPReceiveBatch::ORTVUDPReceiveBatch(quint16 localPort)
    : payloads(qsizetype(capacity) * largestDatagram, Qt::Uninitialized)
    , localPort(localPort)
{
    for (int i = 0; i < capacity; ++i) {
        vectors[i].iov_base = payloads.data() + qsizetype(i) * largestDatagram;
        vectors[i].iov_len = largestDatagram;
    }
}

int ORTVUDPReceiveBatch::receive(int descriptor)
{
    for (int i = 0; i < capacity; ++i) {
        msghdr &header = headers[i].msg_hdr;
        header.msg_name = &senders[i];
        header.msg_namelen = sizeof senders[i];
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = controls[i].data();
        header.msg_controllen = controlBytes;
        header.msg_flags = 0;
        headers[i].msg_len = 0;
    }
    int taken;
    do {
        taken = ::recvmmsg(descriptor, headers.data(), capacity, MSG_DONTWAIT, nullptr);
    } while (taken < 0 && errno == EINTR);
    return qMax(taken, 0);
}

QNetworkDatagram ORTVUDPReceiveBatch::datagram(int i)
{
    mmsghdr &received = headers[i];
    const auto *sender = reinterpret_cast<const sockaddr *>(&senders[i]);
    QNetworkDatagram dgram(QByteArray(static_cast<const char *>(vectors[i].iov_base),
                                      qsizetype(received.msg_len)));
    if (sender->sa_family == AF_INET) {
        const auto *from = reinterpret_cast<const sockaddr_in *>(sender);
        dgram.setSender(cachedIPv4(ntohl(from->sin_addr.s_addr), &lastSender),
                        ntohs(from->sin_port));
    } else {
        dgram.setSender(QHostAddress(sender),
                        ntohs(reinterpret_cast<const sockaddr_in6 *>(sender)->sin6_port));
    }

    // The destination and hop limit, as Qt's socket engine reads them from the packet
    // information it asks every UDP socket for.
    msghdr *header = &received.msg_hdr;
    for (cmsghdr *cmsg = CMSG_FIRSTHDR(header); cmsg; cmsg = CMSG_NXTHDR(header, cmsg)) {
        if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(cmsg), sizeof info);
            dgram.setDestination(cachedIPv4(ntohl(info.ipi_addr.s_addr), &lastDestination),
                                 localPort);
            dgram.setInterfaceIndex(uint(info.ipi_ifindex));
        } else if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_TTL) {
            int ttl = 0;
            std::memcpy(&ttl, CMSG_DATA(cmsg), sizeof ttl);
            dgram.setHopLimit(ttl);
        } else if (cmsg->cmsg_level == IPPROTO_IPV6 && cmsg->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(cmsg), sizeof info);
            dgram.setDestination(QHostAddress(info.ipi6_addr.s6_addr), localPort);
            dgram.setInterfaceIndex(uint(info.ipi6_ifindex));
        } else if (cmsg->cmsg_level == IPPROTO_IPV6 && cmsg->cmsg_type == IPV6_HOPLIMIT) {
            int hops = 0;
            std::memcpy(&hops, CMSG_DATA(cmsg), sizeof hops);
            dgram.setHopLimit(hops);
        }
    }
    return dgram;
}

QNetworkDatagram ORTVUDPReceiveBatch::spareDatagram(qint64 size, const QHostAddress &sender,
                                                    quint16 port) const
{
    QNetworkDatagram dgram(QByteArray(payloads.constData(), qsizetype(size)));
    dgram.setSender(sender, port);
    dgram.setDestination(QHostAddress(), localPort);
    return dgram;
}

const QHostAddress &ORTVUDPReceiveBatch::cachedIPv4(quint32 address, QHostAddress *cache)
{
    if (cache->isNull() || cache->toIPv4Address() != address)
        cache->setAddress(address);
    return *cache;
}
