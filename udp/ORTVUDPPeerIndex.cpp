#include "ORTVUDPPeerIndex.h"

#include <QHashFunctions>

#include <cstring>

namespace {

// The IPv4 address an IPv6 address stands for under the peer record's equality: the mapped
// (::ffff:a.b.c.d) and compatible (::a.b.c.d) forms, loopback and unspecified.
bool standsForIPv4(const Q_IPV6ADDR &bytes, quint32 *ipv4)
{
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    const bool mapped = bytes[10] == 0xff && bytes[11] == 0xff;
    if (!mapped && (bytes[10] != 0 || bytes[11] != 0))
        return false;
    quint32 value = quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16
        | quint32(bytes[14]) << 8 | quint32(bytes[15]);
    if (!mapped && value == 1)
        value = 0x7f000001;  // ::1 is 127.0.0.1
    *ipv4 = value;
    return true;
}

} // namespace

ORTVUDPPeerIndex::Key ORTVUDPPeerIndex::keyOf(const QHostAddress &address, quint16 port)
{
    Key key;
    key.port = port;
    quint32 ipv4 = 0;
    bool isIPv4 = false;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        isIPv4 = standsForIPv4(bytes, &ipv4);
        if (!isIPv4) {
            std::memcpy(&key.high, bytes.c, 8);
            std::memcpy(&key.low, bytes.c + 8, 8);
            return key;
        }
    } else {
        ipv4 = address.toIPv4Address(&isIPv4);
    }
    // IPv4 in its mapped form; a null address (no protocol) has a key of its own.
    key.high = isIPv4 ? 0 : ~quint64(0);
    key.low = isIPv4 ? (quint64(0xffff) << 32 | ipv4) : 0;
    return key;
}

size_t qHash(const ORTVUDPPeerIndex::Key &key, size_t seed)
{
    return qHashMulti(seed, key.high, key.low, key.port);
}

qsizetype ORTVUDPPeerIndex::find(const QHostAddress &address, quint16 port) const
{
    return positions.value(keyOf(address, port), -1);
}

void ORTVUDPPeerIndex::insert(const QHostAddress &address, quint16 port, qsizetype position)
{
    positions.insert(keyOf(address, port), position);
    if (position >= links.size())
        links.resize(position + 1);
    else
        unlink(position);
    linkNewest(position);
}

void ORTVUDPPeerIndex::remove(const QHostAddress &address, quint16 port)
{
    const auto it = positions.constFind(keyOf(address, port));
    if (it == positions.cend())
        return;
    unlink(it.value());
    positions.erase(it);
}

void ORTVUDPPeerIndex::touch(qsizetype position)
{
    if (position == newest)
        return;
    unlink(position);
    linkNewest(position);
}

void ORTVUDPPeerIndex::unlink(qsizetype position)
{
    Link &link = links[position];
    if (link.older >= 0)
        links[link.older].newer = link.newer;
    else if (oldest == position)
        oldest = link.newer;
    if (link.newer >= 0)
        links[link.newer].older = link.older;
    else if (newest == position)
        newest = link.older;
    link = Link();
}

void ORTVUDPPeerIndex::linkNewest(qsizetype position)
{
    links[position].older = newest;
    if (newest >= 0)
        links[newest].newer = position;
    newest = position;
    if (oldest < 0)
        oldest = position;
}
