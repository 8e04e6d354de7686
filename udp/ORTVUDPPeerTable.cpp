#include "ORTVUDPPeerTable.h"

ORTVUDPPeerTable::Heard ORTVUDPPeerTable::hear(const QHostAddress &address, quint16 port)
{
    const qsizetype known = index.find(address, port);
    if (known >= 0) {
        index.touch(known);
        return {Sender::Known, known};
    }
    if (records.size() < peerLimit) {
        const qsizetype position = records.size();
        index.insert(address, port, position);
        records.append(ORTVUDPPeer(address, port));
        return {Sender::New, position};
    }
    return {Sender::GaveWay, replaceStalest(address, port)};
}

qsizetype ORTVUDPPeerTable::replaceStalest(const QHostAddress &address, quint16 port)
{
    const qsizetype position = index.stalest();
    ORTVUDPPeer &slot = records[position];
    index.remove(slot.address, slot.port);
    slot.address = address;
    slot.port = port;
    index.insert(address, port, position);
    return position;
}
