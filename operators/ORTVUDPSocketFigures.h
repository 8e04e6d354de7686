#pragma once

#include <QtGlobal>

// What the kernel knows about one of this process's UDP sockets: the datagrams it dropped for
// want of buffer room and the bytes waiting to be read. Found in /proc/net/udp (and udp6) by
// the socket's inode when asked, so the receive path pays nothing for it.
struct ORTVUDPSocketFigures
{
    bool found = false;
    quint64 drops = 0;
    quint64 receiveQueueBytes = 0;

    static ORTVUDPSocketFigures of(qintptr descriptor);
};
