#include "ORTVUDPPeer.h"

ORTVUDPPeer::ORTVUDPPeer(QObject *parent)
    : QObject(parent)
{
}

ORTVUDPPeer::ORTVUDPPeer(const ORTVUDPPeer &other)
    : QObject(nullptr)
    , address(other.address)
    , port(other.port)
{
}

ORTVUDPPeer::ORTVUDPPeer(QHostAddress address, quint16 port)
    : QObject(nullptr)
    , address(std::move(address))
    , port(port)
{
}

// Assignment copies the endpoint only; the object identity (parent, connections) stays.
ORTVUDPPeer &ORTVUDPPeer::operator=(const ORTVUDPPeer &other)
{
    address = other.address;
    port = other.port;
    return *this;
}

// Ports first: they are cheap to compare and usually differ.
bool ORTVUDPPeer::operator==(const ORTVUDPPeer &other) const
{
    return port == other.port
        && address.isEqual(other.address, QHostAddress::TolerantConversion);
}

bool ORTVUDPPeer::isMe(QHostAddress address, quint16 port) const
{
    return this->address.isEqual(address, QHostAddress::TolerantConversion)
        && this->port == port;
}

qint64 ORTVUDPPeer::findInList(QList<ORTVUDPPeer> list, QHostAddress address, quint16 port)
{
    return findInList(std::move(list), ORTVUDPPeer(std::move(address), port));
}

qint64 ORTVUDPPeer::findInList(QList<ORTVUDPPeer> list, ORTVUDPPeer peer)
{
    for (qint64 i = 0; i < list.size(); ++i) {
        if (list.at(i) == peer)
            return i;
    }
    return -1;
}
