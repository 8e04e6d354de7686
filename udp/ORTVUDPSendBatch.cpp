#include "ORTVUDPSendBatch.h"

#include <QHostAddress>

#include <cerrno>

bool ORTVUDPSendBatch::queue(int descriptor, const QByteArray &bytes,
                             const QHostAddress &address, quint16 port)
{
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    if (queued == capacity)
        flush(descriptor);
    const int i = queued++;
    payloads[i] = bytes;
    sockaddr_in &to = receivers[i];
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address.toIPv4Address());
    vectors[i].iov_base = const_cast<char *>(payloads[i].constData());
    vectors[i].iov_len = size_t(payloads[i].size());
    msghdr &header = headers[i].msg_hdr;
    header = {};
    header.msg_name = &to;
    header.msg_namelen = sizeof to;
    header.msg_iov = &vectors[i];
    header.msg_iovlen = 1;
    return true;
}

void ORTVUDPSendBatch::flush(int descriptor)
{
    int next = 0;
    while (next < queued) {
        const int sent = ::sendmmsg(descriptor, headers.data() + next, unsigned(queued - next), 0);
        if (sent > 0)
            next += sent;
        else if (sent < 0 && errno == EINTR)
            continue;
        else
            ++next;  // this one was refused (a full buffer, an unreachable host): skip it
    }
    for (int i = 0; i < queued; ++i)
        payloads[i].clear();
    queued = 0;
}
