#pragma once

#include <QtGlobal>

// What the UDP endpoint counted since it started, for the metrics listener. Plain integers
// bumped where each event happens: nothing in the receive path but an increment.
struct ORTVUDPCounters
{
    quint64 datagramsReceived = 0;
    quint64 bytesReceived = 0;
    // Datagrams written to one endpoint (the replies) and keep-alive frames written.
    quint64 repliesSent = 0;
    quint64 keepAlivesSent = 0;
    // Times a keep-alive round stopped because the send buffer had no room for the next frame.
    quint64 keepAliveBufferWaits = 0;
    // Passes that stopped draining the socket because the receive budget was spent.
    quint64 receiveBudgetExhausted = 0;
    quint64 peersGivenWay = 0;
    quint64 keepAliveRounds = 0;
    qint64 lastKeepAliveRoundNs = 0;
};
