#pragma once

#include "ORTVUDPPeer.h"
#include "ORTVUDPPeerIndex.h"

#include <QHostAddress>
#include <QList>
#include <QTimer>

// Every endpoint the transceiver has heard from: the peer records in the order they were first
// heard, an index that finds a record in constant time, and the order of hearing, kept in step
// in one place. Bounded: at the limit a new endpoint takes the place of the peer heard from
// longest ago, so every other peer keeps its position. It writes what it learns to the log: each
// new endpoint, and a warning when peers give way.
class ORTVUDPPeerTable
{
public:
    // Most peers remembered by default.
    static constexpr qsizetype defaultLimit = 50000;

    ORTVUDPPeerTable();

    // What one datagram's sender turned out to be.
    enum class Sender {
        Known,    // already in the table: now the most recently heard
        New,      // appended at the end
        GaveWay,  // took the position of the peer heard from longest ago
    };
    struct Heard
    {
        Sender sender = Sender::Known;
        qsizetype position = -1;
    };

    // The one question asked per received datagram. A new endpoint gets its New Peer line; the
    // first peer that gives way is reported at once, later ones at most once a second.
    Heard hear(const QHostAddress &address, quint16 port);

    void setLimit(qsizetype peers) { peerLimit = qMax<qsizetype>(1, peers); }
    qsizetype limit() const { return peerLimit; }
    qsizetype size() const { return records.size(); }
    const ORTVUDPPeer &at(qsizetype position) const { return records.at(position); }
    // The records by position; copying the list is cheap (implicitly shared).
    const QList<ORTVUDPPeer> &peers() const { return records; }

private:
    qsizetype replaceStalest(const QHostAddress &address, quint16 port);
    void peerGaveWay();
    void reportPeersGivenWay();

    QList<ORTVUDPPeer> records;
    ORTVUDPPeerIndex index;
    qsizetype peerLimit = defaultLimit;
    // Peers that gave way since the last warning, which is written at most once a second.
    qint64 peersGivenWay = 0;
    QTimer givenWayReport;
};
