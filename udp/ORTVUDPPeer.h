#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>

// One remote UDP endpoint (address and port), held by value in the transceiver's peer list.
class ORTVUDPPeer : public QObject
{
    Q_OBJECT

public:
    explicit ORTVUDPPeer(QObject *parent = nullptr);
    // A copy is a fresh, parentless object holding the same endpoint.
    ORTVUDPPeer(const ORTVUDPPeer &other);
    ORTVUDPPeer(QHostAddress address, quint16 port);
    ORTVUDPPeer &operator=(const ORTVUDPPeer &other);

    bool operator==(const ORTVUDPPeer &other) const;
    bool isMe(QHostAddress address, quint16 port) const;

    static qint64 findInList(QList<ORTVUDPPeer> list, QHostAddress address, quint16 port);
    static qint64 findInList(QList<ORTVUDPPeer> list, ORTVUDPPeer peer);

    QHostAddress address;
    quint16 port = 0;
};
