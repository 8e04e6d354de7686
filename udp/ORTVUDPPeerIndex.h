#pragma once

#include <QHash>
#include <QHostAddress>

// Finds a peer's position in the transceiver's peer list in constant time, and keeps the
// positions in the order their peers were last heard from, so the one heard from longest ago
// is known at once.
//
// Addresses are keyed by a canonical form that agrees with the tolerant equality of
// ORTVUDPPeer: an IPv4 address, its IPv4-mapped and IPv4-compatible IPv6 forms are one key, as
// are the IPv4 and IPv6 loopback addresses and the IPv4 and IPv6 unspecified addresses. (That
// equality is not transitive in two corners: "::" and "::ffff:0.0.0.0", "::1" and
// "::ffff:127.0.0.1" are each one key here but not equal peers. Neither is the source of a
// datagram.) Scope ids take no part, as in the peer record's equality.
class ORTVUDPPeerIndex
{
public:
    // -1 when the endpoint has no position.
    qsizetype find(const QHostAddress &address, quint16 port) const;
    // Gives the endpoint the position and makes it the most recently heard.
    void insert(const QHostAddress &address, quint16 port, qsizetype position);
    void remove(const QHostAddress &address, quint16 port);
    // The position's peer was just heard from.
    void touch(qsizetype position);
    // The position heard from longest ago; -1 when the index is empty.
    qsizetype stalest() const { return oldest; }
    qsizetype size() const { return positions.size(); }

    struct Key
    {
        quint64 high = 0;
        quint64 low = 0;
        quint16 port = 0;
        friend bool operator==(const Key &a, const Key &b)
        {
            return a.port == b.port && a.low == b.low && a.high == b.high;
        }
    };
    static Key keyOf(const QHostAddress &address, quint16 port);

private:
    // Positions in order of hearing, oldest first, linked through their neighbours.
    struct Link
    {
        qsizetype older = -1;
        qsizetype newer = -1;
    };
    void unlink(qsizetype position);
    void linkNewest(qsizetype position);

    QHash<Key, qsizetype> positions;
    QList<Link> links;  // indexed by position
    qsizetype oldest = -1;
    qsizetype newest = -1;
};

size_t qHash(const ORTVUDPPeerIndex::Key &key, size_t seed = 0);
