#include "ORTVUDPTransceiver.h"
#include "ORTVLogFormat.h"
#include "ORTVUDPKeepAliveRounds.h"
#include "ORTVUDPReceiveBatch.h"
#include "ORTVUDPSendBatch.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QTimer>
#include <QUdpSocket>

#include <poll.h>

namespace {

// Longest time one call of readPendingData spends draining the socket, so that HTTP requests
// and timers get their turn while datagrams arrive faster than they are handled.
constexpr int receiveBudgetMs = 20;
// How long a pass that has just sent replies waits for their senders' next requests.
constexpr long followUpWaitUs = 1000;

} // namespace

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
        receiveBatch = std::make_unique<ORTVUDPReceiveBatch>(udpSocket->localPort());
        replyBatch = std::make_unique<ORTVUDPSendBatch>();
        qDebug() << "ORTVUDPTransceiver started @ port " << port;
    } else {
        qWarning() << "ORTVUDPTransceiver failed to bind port" << port << ":"
                   << udpSocket->errorString();
    }

    // A child, owned by the transceiver. It writes its frames through the socket's descriptor
    // (-1 after a failed bind, when no datagram comes in and so no peer is learned).
    keepAliveRounds = new ORTVUDPKeepAliveRounds(int(udpSocket->socketDescriptor()), peerTable,
                                                 counted, this);
    keepAliveTimer = new QTimer(this);
    // A coarse timer would round 29 s to whole seconds and could fire up to half a second
    // early; peers rely on the period, so keep it precise.
    keepAliveTimer->setTimerType(Qt::PreciseTimer);
    connect(keepAliveTimer, &QTimer::timeout, this, &ORTVUDPTransceiver::keepAliveTimerTicked);
    keepAliveTimer->start(ORTVUDPKeepAliveRounds::intervalMs);
}

void ORTVUDPTransceiver::keepAliveTimerTicked()
{
    keepAliveRounds->tick();
}

ORTVUDPTransceiver::~ORTVUDPTransceiver() = default;

qintptr ORTVUDPTransceiver::socketDescriptor() const
{
    return udpSocket->socketDescriptor();
}

void ORTVUDPTransceiver::setSendBufferSize(int bytes)
{
    udpSocket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, bytes);
}

// Takes the pending datagrams in batches straight from the descriptor, so a datagram costs a
// share of one system call instead of Qt's peek and read, and goes on while datagrams keep
// coming (after replies, a moment longer: awaitFollowUp), until the socket is empty or the
// budget is spent. Every datagram taken is handled completely, in order, even when the budget
// runs out in the middle of a batch: what is still in the kernel then waits for the next pass.
// The replies of a batch go out together once it is handled, before the next batch is taken.
void ORTVUDPTransceiver::readPendingData()
{
    if (!receiveBatch)
        return;
    queueingReplies = true;
    const auto sendLastReplies = qScopeGuard([this] {
        sendQueuedReplies();
        queueingReplies = false;
    });
    QElapsedTimer spent;
    spent.start();
    const int descriptor = int(udpSocket->socketDescriptor());
    for (;;) {
        const int taken = receiveBatch->receive(descriptor);
        for (int i = 0; i < taken; ++i)
            handleDatagram(receiveBatch->datagram(i));
        sendQueuedReplies();
        if (spent.hasExpired(receiveBudgetMs)) {
            ++counted.receiveBudgetExhausted;
            break;  // budget spent: the rest waits in the kernel for the next pass
        }
        if (taken == ORTVUDPReceiveBatch::capacity || awaitFollowUp(descriptor))
            continue;
        // A short batch found the socket empty: the read through Qt's socket that every pass
        // ends with tells whether it still is.
        if (!takeOneThroughSocket())
            return;
    }
    takeOneThroughSocket();
}

// Clients that read values ask one after another, each as soon as the answer to the previous
// request is in: after replies went out, the next requests come within tens of microseconds.
// Waiting a moment for them serves them in this pass, with warm caches and in batches, instead
// of one per client after the loop's 10 ms sleep. The pass waits only after sending replies,
// once per round of them, and stays within its budget; a stream of SetData never waits.
bool ORTVUDPTransceiver::awaitFollowUp(int descriptor)
{
    if (counted.repliesSent == repliesAtLastWait)
        return false;
    repliesAtLastWait = counted.repliesSent;
    pollfd readable{descriptor, POLLIN, 0};
    const timespec wait{0, followUpWaitUs * 1000};
    return ::ppoll(&readable, 1, &wait, nullptr) > 0;
}

void ORTVUDPTransceiver::sendQueuedReplies()
{
    if (!replyBatch->isEmpty())
        replyBatch->flush(int(udpSocket->socketDescriptor()));
}

// QUdpSocket stops watching its descriptor when it signals readyRead, and watches it again
// only once a datagram is read through it. So each pass ends with one read through it: on an
// empty socket that read fails at once and only re-arms the notifier; a datagram that came
// meanwhile, or the next one after a spent budget, is whole (read with room for any size) and
// is handled like the others. It reads into the batch's buffer: nothing is allocated per pass.
// True when it took a datagram.
bool ORTVUDPTransceiver::takeOneThroughSocket()
{
    QHostAddress sender;
    quint16 senderPort = 0;
    qint64 size;
    {
        // The failed read of an empty socket reports an error; it is none.
        const QSignalBlocker quiet(udpSocket);
        size = udpSocket->readDatagram(receiveBatch->spareBuffer(),
                                       ORTVUDPReceiveBatch::largestDatagram, &sender, &senderPort);
    }
    if (size < 0)
        return false;
    handleDatagram(receiveBatch->spareDatagram(size, sender, senderPort));
    return true;
}

void ORTVUDPTransceiver::handleDatagram(const QNetworkDatagram &dgram)
{
    ++counted.datagramsReceived;
    counted.bytesReceived += quint64(dgram.data().size());
    checkAndAddToList(dgram.senderAddress(), quint16(dgram.senderPort()));
    emit didReceiveData(dgram);
    // Logged after the receivers ran, so a reply's lines come before the RX line.
    logReceived(dgram);
}

void ORTVUDPTransceiver::logReceived(const QNetworkDatagram &dgram)
{
    if (!ORTVLogFormat::enabled())
        return;  // spares copying the sender's address for a line that is not written
    ORTVLogFormat::logReceived(dgram.senderAddress(), dgram.senderPort(), dgram.data());
}

void ORTVUDPTransceiver::checkAndAddToList(QHostAddress address, quint16 port)
{
    if (peerTable.hear(address, port).sender == ORTVUDPPeerTable::Sender::GaveWay)
        ++counted.peersGivenWay;
}

template <typename Shown>
void ORTVUDPTransceiver::writeOne(const QByteArray &bytes, const Shown &shown,
                                  const QHostAddress &address, quint16 port)
{
    // The result is not examined: a TX line records an attempt, not a delivery.
    if (!queueingReplies
        || !replyBatch->queue(int(udpSocket->socketDescriptor()), bytes, address, port)) {
        if (queueingReplies)
            sendQueuedReplies();  // what was queued before goes first
        udpSocket->writeDatagram(bytes, address, port);
    }
    ++counted.repliesSent;
    ORTVLogFormat::logSent(address, port, shown);
}

template <typename Shown>
void ORTVUDPTransceiver::writeToAllPeers(const QByteArray &bytes, const Shown &shown)
{
    for (qsizetype i = 0; i < peerTable.size(); ++i) {
        const ORTVUDPPeer &peer = peerTable.at(i);
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
