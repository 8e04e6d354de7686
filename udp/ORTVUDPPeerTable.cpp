#include "ORTVUDPPeerTable.h"
#include "ORTVLogFormat.h"

#include <QDebug>

ORTVUDPPeerTable::ORTVUDPPeerTable()
{
    givenWayReport.setSingleShot(true);
    givenWayReport.setInterval(1000);
    // The connection ends with the timer, a member: the table is never copied or moved.
    givenWayReport.callOnTimeout([this] { reportPeersGivenWay(); });
}

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
        ORTVLogFormat::logNewPeer(address, port);
        return {Sender::New, position};
    }
    const qsizetype position = replaceStalest(address, port);
    ORTVLogFormat::logNewPeer(address, port);
    peerGaveWay();
    return {Sender::GaveWay, position};
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

void ORTVUDPPeerTable::peerGaveWay()
{
    ++peersGivenWay;
    if (!givenWayReport.isActive())
        reportPeersGivenWay();
}

void ORTVUDPPeerTable::reportPeersGivenWay()
{
    if (peersGivenWay == 0)
        return;
    qWarning().nospace() << "Peer list full (" << peerLimit << " peers): " << peersGivenWay
                         << " heard from longest ago gave way to new ones";
    peersGivenWay = 0;
    givenWayReport.start();
}
