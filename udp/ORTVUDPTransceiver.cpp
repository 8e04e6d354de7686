#include "ORTVUDPTransceiver.h"
#include "ORTVLogFormat.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTimeZone>
#include <QTimer>
#include <QUdpSocket>

#include <cerrno>

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

    // Runs while a keep-alive round is unfinished: once an event pass.
    keepAlivePacer = new QTimer(this);
    keepAlivePacer->setTimerType(Qt::PreciseTimer);
    keepAlivePacer->setInterval(1);
    connect(keepAlivePacer, &QTimer::timeout, this, &ORTVUDPTransceiver::sendKeepAliveDue);

    givenWayReport = new QTimer(this);
    givenWayReport->setSingleShot(true);
    givenWayReport->setInterval(1000);
    connect(givenWayReport, &QTimer::timeout, this, &ORTVUDPTransceiver::reportPeersGivenWay);
}

qintptr ORTVUDPTransceiver::socketDescriptor() const
{
    return udpSocket->socketDescriptor();
}

void ORTVUDPTransceiver::setSendBufferSize(int bytes)
{
    udpSocket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, bytes);
}

void ORTVUDPTransceiver::readPendingData()
{
    // Datagrams still pending when the budget is spent stay in the kernel's buffer; the socket
    // is still readable, so the next event pass calls this again.
    QElapsedTimer spent;
    spent.start();
    while (udpSocket->hasPendingDatagrams()) {
        const QNetworkDatagram dgram = udpSocket->receiveDatagram(largestDatagram);
        ++counted.datagramsReceived;
        counted.bytesReceived += quint64(dgram.data().size());
        checkAndAddToList(dgram.senderAddress(), quint16(dgram.senderPort()));
        emit didReceiveData(dgram);
        // Logged after the receivers ran, so a reply's lines come before the RX line.
        logReceived(dgram);
        if (spent.hasExpired(receiveBudgetMs)) {
            ++counted.receiveBudgetExhausted;
            break;
        }
    }
}

void ORTVUDPTransceiver::logReceived(const QNetworkDatagram &dgram)
{
    ORTVLogFormat::logReceived(dgram.senderAddress(), dgram.senderPort(), dgram.data());
}

void ORTVUDPTransceiver::checkAndAddToList(QHostAddress address, quint16 port)
{
    const qsizetype known = peerIndex.find(address, port);
    if (known >= 0) {
        peerIndex.touch(known);
        return;
    }
    if (peerList.size() < peerLimit) {
        peerIndex.insert(address, port, peerList.size());
        peerList.append(ORTVUDPPeer(address, port));
        ORTVLogFormat::logNewPeer(address, port);
        return;
    }
    forgetStalestFor(address, port);
    ORTVLogFormat::logNewPeer(address, port);
    if (!givenWayReport->isActive())
        reportPeersGivenWay();
}

// The new endpoint takes the list position of the peer heard from longest ago, so every other
// peer keeps its position.
void ORTVUDPTransceiver::forgetStalestFor(const QHostAddress &address, quint16 port)
{
    const qsizetype position = peerIndex.stalest();
    ORTVUDPPeer &slot = peerList[position];
    peerIndex.remove(slot.address, slot.port);
    slot.address = address;
    slot.port = port;
    peerIndex.insert(address, port, position);
    ++peersGivenWay;
    ++counted.peersGivenWay;
}

void ORTVUDPTransceiver::reportPeersGivenWay()
{
    if (peersGivenWay == 0)
        return;
    qWarning().nospace() << "Peer list full (" << peerLimit << " peers): " << peersGivenWay
                         << " heard from longest ago gave way to new ones";
    peersGivenWay = 0;
    givenWayReport->start();
}

template <typename Shown>
void ORTVUDPTransceiver::writeOne(const QByteArray &bytes, const Shown &shown,
                                  const QHostAddress &address, quint16 port)
{
    // The result is not examined: a TX line records an attempt, not a delivery.
    udpSocket->writeDatagram(bytes, address, port);
    ++counted.repliesSent;
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

// Starts a round over all peers: the first keepAliveBurst at once, the others paced over the
// following passes. Each peer's frame carries the time it is sent at; as every round keeps the
// same pace, each peer's frames are 29 s apart.
void ORTVUDPTransceiver::keepAliveTimerTicked()
{
    keepAliveRound.start();
    keepAliveNext = 0;
    ++counted.keepAliveRounds;
    sendKeepAliveDue();
}

void ORTVUDPTransceiver::sendKeepAliveDue()
{
    const qint64 paced = keepAliveRound.nsecsElapsed() * keepAliveFramesPerSecond / 1000000000;
    const qsizetype due = qMin(peerList.size(), keepAliveBurst + paced);
    QElapsedTimer spent;
    spent.start();
    while (keepAliveNext < due && !spent.hasExpired(keepAlivePassBudgetMs)) {
        if (!writeKeepAlive(peerList.at(keepAliveNext))) {
            ++counted.keepAliveBufferWaits;
            break;  // the send buffer is full: the same peer in the next pass
        }
        ++keepAliveNext;
    }
    if (keepAliveNext < peerList.size()) {
        keepAlivePacer->start();
    } else {
        keepAlivePacer->stop();
        counted.lastKeepAliveRoundNs = keepAliveRound.nsecsElapsed();
    }
}

// False when the socket's send buffer has no room now; the frame was not sent and no TX line
// written. Any other failure is written as an attempt, like every send of the transceiver.
bool ORTVUDPTransceiver::writeKeepAlive(const ORTVUDPPeer &peer)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != keepAliveBytesMs) {
        keepAliveBytes = keepAliveFrame(QDateTime::fromMSecsSinceEpoch(now, QTimeZone::utc()));
        keepAliveBytesMs = now;
    }
    errno = 0;
    if (udpSocket->writeDatagram(keepAliveBytes, peer.address, peer.port) < 0
        && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
        return false;
    }
    ++counted.keepAlivesSent;
    ORTVLogFormat::logSent(peer.address, peer.port, keepAliveBytes);
    return true;
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
