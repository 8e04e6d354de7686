#pragma once

#include <QObject>

class QUdpSocket;

// A receive-only listener on 127.0.0.1 port 1234: logs every datagram and does nothing else.
class ORTVUDPReceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 listenPort = 1234;

    explicit ORTVUDPReceiver(QObject *parent = nullptr);

private slots:
    void readPendingData();

private:
    QUdpSocket *udpSocket = nullptr;
};
