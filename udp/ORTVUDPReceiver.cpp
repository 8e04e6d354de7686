#include "ORTVUDPReceiver.h"
#include "ORTVUDPTransceiver.h"

#include <QDebug>
#include <QNetworkProxy>
#include <QUdpSocket>

ORTVUDPReceiver::ORTVUDPReceiver(QObject *parent)
    : QObject(parent)
{
    udpSocket = new QUdpSocket(this);
    udpSocket->setProxy(QNetworkProxy::NoProxy);
    const bool bound = udpSocket->bind(QHostAddress::LocalHost, listenPort,
                                       QAbstractSocket::DefaultForPlatform);
    connect(udpSocket, &QUdpSocket::readyRead, this, &ORTVUDPReceiver::readPendingData);
    if (bound)
        qDebug() << "ORTVUDPReceiver started @ port 1234";
    else
        qWarning() << "ORTVUDPReceiver failed to bind port" << listenPort << ":"
                   << udpSocket->errorString();
}

void ORTVUDPReceiver::readPendingData()
{
    while (udpSocket->hasPendingDatagrams()) {
        ORTVUDPTransceiver::logReceived(udpSocket->receiveDatagram());
    }
}
