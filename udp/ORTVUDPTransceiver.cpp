#include "ORTVUDPTransceiver.h"
#include "ORTVLogFormat.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>

ORTVUDPTransceiver::ORTVUDPTransceiver(QObject *parent, quint16 port)
    : QObject(parent)
{
    udpSocket = new QUdpSocket(this);
    // A listening endpoint has no use for a proxy; asking the system for one starts a thread.
    udpSocket->setProxy(QNetworkProxy::NoProxy);
    // AnyIPv4, not the dual-stack Any: senders then show as plain IPv4 addresses.
    const bool bound =
        udpSocket->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DefaultForPlatform);
    connect(udpSocket, &QUdpSocket::readyRead, this, &ORTVUDPTransceiver::readPendingData);
    if (bound) {
        // The loop sleeps 10 ms between passes: the kernel must hold what arrives meanwhile.
        // It caps the request at net.core.rmem_max (the package raises that to match).
        udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                   receiveBufferBytes);
        qDebug() << "ORTVUDPTransceiver started @ port " << port;
    } else {
        qWarning() << "ORTVUDPTransceiver failed to bind port" << port << ":"
                   << udpSocket->errorString();
    }

    keepAliveTimer = new QTimer(this);
    // A coarse timer would round 29 s to whole seconds and could fire up to half a second
    // early; peers rely on the period, so keep it precise.
    keepAliveTimer->setTimerType(Qt::PreciseTimer);
    connect(keepAliveTimer, &QTimer::timeout, this, &ORTVUDPTransceiver::keepAliveTimerTicked);
    keepAliveTimer->start(keepAliveIntervalMs);
}

void ORTVUDPTransceiver::readPendingData()
{
    while (udpSocket->hasPendingDatagrams()) {
        const QNetworkDatagram dgram = udpSocket->receiveDatagram();
        checkAndAddToList(dgram.senderAddress(), quint16(dgram.senderPort()));
        emit didReceiveData(dgram);
        // Logged after the receivers ran, so a reply's lines come before the RX line.
        logReceived(dgram);
    }
}

void ORTVUDPTransceiver::logReceived(const QNetworkDatagram &dgram)
{
    ORTVLogFormat::logReceived(dgram.senderAddress(), dgram.senderPort(), dgram.data());
}

void ORTVUDPTransceiver::checkAndAddToList(QHostAddress address, quint16 port)
{
    if (ORTVUDPPeer::findInList(peerList, address, port) != -1)
        return;
    peerList.append(ORTVUDPPeer(address, port));
    ORTVLogFormat::logNewPeer(address, port);
}

template <typename Shown>
void ORTVUDPTransceiver::writeOne(const QByteArray &bytes, const Shown &shown,
                                  const QHostAddress &address, quint16 port)
{
    // The result is not examined: a TX line records an attempt, not a delivery.
    udpSocket->writeDatagram(bytes, address, port);
    ORTVLogFormat::logSent(address, port, shown);
}

template <typename Shown>
void ORTVUDPTransceiver::writeToAllPeers(const QByteArray &bytes, const Shown &shown)
{
    for (qsizetype i = 0; i < peerList.size(); ++i) {
        const ORTVUDPPeer &peer = peerList.at(i);
        writeOne(bytes, shown, peer.address, peer.port);
    }
}

void ORTVUDPTransceiver::sendData(const QByteArray &data)
{
    writeToAllPeers(data, data);
}

void ORTVUDPTransceiver::sendData(const QString &text)
{
    writeToAllPeers(text.toUtf8(), text);
}

void ORTVUDPTransceiver::sendData(const QNetworkDatagram &dgram)
{
    const QByteArray payload = dgram.data();
    writeToAllPeers(payload, payload);
}

void ORTVUDPTransceiver::sendData(const QNetworkDatagram &dgram, QHostAddress address,
                                  quint16 port)
{
    const QByteArray payload = dgram.data();
    writeOne(payload, payload, address, port);
}

void ORTVUDPTransceiver::sendData(const QString &text, QHostAddress address, quint16 port)
{
    writeOne(text.toUtf8(), text, address, port);
}

void ORTVUDPTransceiver::keepAliveTimerTicked()
{
    sendData(keepAliveFrame(QDateTime::currentDateTimeUtc()));
}

QByteArray ORTVUDPTransceiver::keepAliveFrame(const QDateTime &utc)
{
    QJsonObject alive;
    alive.insert(QLatin1String("url"), QLatin1String("com.orvane.xcvr.keep.alive"));
    alive.insert(QLatin1String("data"), 1);
    QJsonObject clock;
    clock.insert(QLatin1String("url"), QLatin1String("com.orvane.date.utc"));
    clock.insert(QLatin1String("data"), utc.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss.zzz")));
    return QJsonDocument(QJsonArray{alive, clock}).toJson(QJsonDocument::Compact);
}
