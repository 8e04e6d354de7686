#include "ORTVDataClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTimeZone>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace {

const QString keepAliveUrl = QStringLiteral("com.orvane.xcvr.keep.alive");
const QString serverTimeUrl = QStringLiteral("com.orvane.date.utc");

QJsonObject command(const char *cmd, const QString &url)
{
    return QJsonObject{{QLatin1String("cmd"), QLatin1String(cmd)}, {QLatin1String("url"), url}};
}

QHostAddress anyAddressFor(const QHostAddress &server)
{
    return QHostAddress(server.protocol() == QAbstractSocket::IPv6Protocol
                            ? QHostAddress::AnyIPv6
                            : QHostAddress::AnyIPv4);
}

} // namespace

ORTVDataClient::ORTVDataClient(QObject *parent)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , attemptTimer(new QTimer(this))
{
    socket->setProxy(QNetworkProxy::NoProxy);
    attemptTimer->setSingleShot(true);
    connect(socket, &QUdpSocket::readyRead, this, &ORTVDataClient::readPendingDatagrams);
    connect(attemptTimer, &QTimer::timeout, this, &ORTVDataClient::attemptTimedOut);
}

bool ORTVDataClient::bind(const QHostAddress &server, quint16 port)
{
    // No address sharing: on Linux two UDP sockets that both allow reuse can hold the same
    // port, and the replies for one would go to the other.
    if (socket->bind(anyAddressFor(server), port, QUdpSocket::DontShareAddress))
        return true;
    lastError = socket->errorString();
    return false;
}

bool ORTVDataClient::bindFirstFree(const QHostAddress &server, quint16 first, quint16 last)
{
    for (quint32 port = first; port <= last; ++port) {
        if (bind(server, quint16(port)))
            return true;
    }
    lastError = QStringLiteral("no free source port from %1 to %2 (%3)")
                    .arg(first).arg(last).arg(lastError);
    return false;
}

quint16 ORTVDataClient::localPort() const
{
    return socket->localPort();
}

void ORTVDataClient::setReceiveBufferSize(int bytes)
{
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
}

void ORTVDataClient::setServer(const QHostAddress &address, quint16 port)
{
    serverAddress = address;
    serverPort = port;
}

bool ORTVDataClient::read(const QStringList &urls)
{
    QList<Entry> entries;
    for (const QString &url : urls)
        entries.append({url, QJsonValue()});
    return start(entries, false);
}

bool ORTVDataClient::write(const QList<Entry> &entries)
{
    return start(entries, true);
}

bool ORTVDataClient::send(const QList<Entry> &entries, bool readBack)
{
    return writeDatagram(writeRequest(entries, readBack));
}

QList<QList<ORTVDataClient::Entry>> ORTVDataClient::splitWrites(const QList<Entry> &entries,
                                                               bool readBack,
                                                               QList<Entry> *tooLarge,
                                                               qsizetype limit,
                                                               qsizetype maxEntries)
{
    // A compact JSON array is "[" + its elements joined by "," + "]", and each element is written
    // the same whatever its neighbours: the size of a part is the sum of its entries' sizes
    // (an entry's SetData and ReadData are two elements, wherever each stands).
    QList<QList<Entry>> parts;
    QList<Entry> part;
    qsizetype partSize = 2;
    for (const Entry &entry : entries) {
        const qsizetype size = writeRequest({entry}, readBack).size() - 2;
        if (size + 2 > limit) {
            if (tooLarge)
                tooLarge->append(entry);
            continue;
        }
        if (partSize + (part.isEmpty() ? 0 : 1) + size > limit || part.size() == maxEntries) {
            parts.append(part);
            part.clear();
            partSize = 2;
        }
        partSize += (part.isEmpty() ? 0 : 1) + size;
        part.append(entry);
    }
    if (!part.isEmpty())
        parts.append(part);
    return parts;
}

bool ORTVDataClient::start(const QList<Entry> &entries, bool store)
{
    if (isBusy()) {
        lastError = QStringLiteral("a request is still waiting for its replies");
        return false;
    }
    if (entries.isEmpty()) {
        // Nothing to wait for; answer on the next event-loop pass like any other request.
        QTimer::singleShot(0, this, [this] { emit finished({}); });
        return true;
    }
    // A reply names only its url, and the source port is reused on purpose: what already waits
    // on the socket answers an earlier request (a previous round, or a previous run on this
    // port) and would be taken for this one's answer. With nothing pending it is read and
    // dropped here; a keep-alive among it is still reported.
    readPendingDatagrams();
    for (const Entry &entry : entries)
        pending.append({entry, store, std::nullopt});
    retriesLeft = retries;
    if (!sendMissing()) {
        pending.clear();
        return false;
    }
    return true;
}

// Sends the commands of every slot without a reply yet; on a write they store again, which
// changes nothing when the first datagram did arrive and only its reply was lost.
bool ORTVDataClient::sendMissing()
{
    QList<Entry> toStore;
    QStringList toRead;
    for (const Slot &slot : std::as_const(pending)) {
        if (slot.reply)
            continue;
        if (slot.store)
            toStore.append(slot.entry);
        else
            toRead.append(slot.entry.url);
    }
    const QByteArray payload =
        toStore.isEmpty() ? readRequest(toRead) : writeRequest(toStore, true);
    attemptTimer->start(timeoutMs);
    return writeDatagram(payload);
}

bool ORTVDataClient::writeDatagram(const QByteArray &payload)
{
    if (payload.size() > maxDatagramBytes) {
        lastError = QStringLiteral("the request takes %1 bytes, more than the %2 of one datagram")
                        .arg(payload.size()).arg(maxDatagramBytes);
        return false;
    }
    if (socket->writeDatagram(payload, serverAddress, serverPort) == payload.size())
        return true;
    lastError = socket->errorString();
    return false;
}

void ORTVDataClient::readPendingDatagrams()
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        // Only the server's port answers. Its address is not checked: the server listens on
        // every interface and the system picks the source address of a reply, which need not
        // be the one asked (a request to 127.0.0.2 is answered from 127.0.0.1).
        if (datagram.senderPort() != serverPort)
            continue;
        const QDateTime serverTime = keepAliveTime(datagram.data());
        if (serverTime.isValid())
            emit keepAliveReceived(serverTime);
        else
            takeReply(datagram.data());
    }
}

// A reply fills the first slot of its url still waiting: a url asked twice takes two replies,
// in whatever order they come.
void ORTVDataClient::takeReply(const QByteArray &payload)
{
    const QJsonObject reply = QJsonDocument::fromJson(payload).object();
    const QJsonValue url = reply.value(QLatin1String("url"));
    const QJsonValue data = reply.value(QLatin1String("data"));
    if (!url.isString() || !data.isString())
        return;
    const auto slot = std::find_if(pending.begin(), pending.end(), [&](const Slot &s) {
        return !s.reply && s.entry.url == url.toString();
    });
    if (slot == pending.end()) {
        emit replyReceived(url.toString(), data.toString());
        return;
    }
    slot->reply = data.toString();
    if (std::all_of(pending.cbegin(), pending.cend(), [](const Slot &s) { return bool(s.reply); }))
        finish();
}

void ORTVDataClient::attemptTimedOut()
{
    if (retriesLeft > 0) {
        --retriesLeft;
        if (sendMissing())
            return;
    }
    QStringList missing;
    for (const Slot &slot : std::as_const(pending)) {
        if (!slot.reply)
            missing.append(slot.entry.url);
    }
    pending.clear();
    emit failed(missing);
}

void ORTVDataClient::finish()
{
    attemptTimer->stop();
    QStringList values;
    for (const Slot &slot : std::as_const(pending))
        values.append(*slot.reply);
    pending.clear();
    emit finished(values);
}

QByteArray ORTVDataClient::readRequest(const QStringList &urls)
{
    QJsonArray commands;
    for (const QString &url : urls)
        commands.append(command("ReadData", url));
    return QJsonDocument(commands).toJson(QJsonDocument::Compact);
}

QByteArray ORTVDataClient::writeRequest(const QList<Entry> &entries, bool readBack)
{
    QJsonArray commands;
    for (const Entry &entry : entries) {
        QJsonObject set = command("SetData", entry.url);
        set.insert(QLatin1String("data"), entry.value);
        commands.append(set);
    }
    for (const Entry &entry : entries) {
        if (readBack)
            commands.append(command("ReadData", entry.url));
    }
    return QJsonDocument(commands).toJson(QJsonDocument::Compact);
}

std::optional<QString> ORTVDataClient::storedForm(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 6);
    return std::nullopt;
}

QDateTime ORTVDataClient::keepAliveTime(const QByteArray &datagram)
{
    const QJsonArray frame = QJsonDocument::fromJson(datagram).array();
    const QJsonObject alive = frame.at(0).toObject();
    const QJsonObject clock = frame.at(1).toObject();
    if (frame.size() != 2 || alive.value(QLatin1String("url")).toString() != keepAliveUrl
        || clock.value(QLatin1String("url")).toString() != serverTimeUrl)
        return {};
    // "dd.MM.yyyy HH:mm:ss.zzz", in UTC
    const QString text = clock.value(QLatin1String("data")).toString();
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("dd.MM.yyyy"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss.zzz"));
    if (text.size() != 23 || text.at(10) != QLatin1Char(' ') || !date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, QTimeZone::utc());
}
