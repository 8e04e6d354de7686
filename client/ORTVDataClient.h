#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <limits>
#include <optional>

class QTimer;
class QUdpSocket;

// Reads and writes values on the data server's UDP port. The server's replies carry no request
// id, so they are matched to the urls asked; what is still missing when the timeout expires is
// asked again. One request is in flight at a time; replies already waiting when it starts are
// late answers to earlier ones and are dropped. Also reports the server's keep-alive frames.
class ORTVDataClient : public QObject
{
    Q_OBJECT

public:
    struct Entry
    {
        QString url;
        QJsonValue value;
    };

    static constexpr quint16 defaultServerPort = 1234;
    // The server keeps every source endpoint as a peer for the life of its process and sends it
    // a keep-alive frame every 29 s: sending from a few fixed ports keeps the list short.
    static constexpr quint16 firstSourcePort = 1235;
    static constexpr quint16 lastSourcePort = 1244;
    static constexpr qsizetype maxDatagramBytes = 65507;

    explicit ORTVDataClient(QObject *parent = nullptr);

    // Binds to `port` (0: one the system picks) on the address family of `server`.
    bool bind(const QHostAddress &server, quint16 port);
    // Binds to the first port of [first, last] that no other socket holds.
    bool bindFirstFree(const QHostAddress &server, quint16 first = firstSourcePort,
                       quint16 last = lastSourcePort);
    quint16 localPort() const;
    // Asks the system for a receive buffer of `bytes` (capped at net.core.rmem_max): for a
    // program that takes thousands of replies a second while busy with other work at times.
    void setReceiveBufferSize(int bytes);
    QString errorString() const { return lastError; }

    void setServer(const QHostAddress &address, quint16 port = defaultServerPort);
    void setTimeout(int ms) { timeoutMs = ms; }
    void setRetries(int count) { retries = count; }
    bool isBusy() const { return !pending.isEmpty(); }

    // Asks for the values of `urls` in one datagram; finished() lists them in the same order.
    bool read(const QStringList &urls);
    // Stores the entries and reads them back in the same datagram; finished() lists what was
    // read back. A datagram that arrived did both, so a read-back value confirms its write.
    bool write(const QList<Entry> &entries);
    // Sends one datagram storing the entries (and reading them back: the replies come through
    // replyReceived()) without waiting for anything.
    bool send(const QList<Entry> &entries, bool readBack = false);
    // Splits entries into as few datagrams as fit: each part's request (with its read-back) is
    // at most `limit` bytes and holds at most `maxEntries` entries. An entry too large for a
    // datagram of its own goes to `tooLarge`.
    static QList<QList<Entry>> splitWrites(const QList<Entry> &entries, bool readBack,
                                           QList<Entry> *tooLarge = nullptr,
                                           qsizetype limit = maxDatagramBytes,
                                           qsizetype maxEntries
                                           = std::numeric_limits<qsizetype>::max());

    static QByteArray readRequest(const QStringList &urls);
    static QByteArray writeRequest(const QList<Entry> &entries, bool readBack);
    // What the server stores for a value: strings as they are, numbers as text with 6
    // significant digits; nothing for anything else.
    static std::optional<QString> storedForm(const QJsonValue &value);
    // The server's UTC time from a keep-alive frame, or an invalid QDateTime for anything else.
    static QDateTime keepAliveTime(const QByteArray &datagram);

signals:
    void finished(const QStringList &values);
    void failed(const QStringList &missingUrls);
    void keepAliveReceived(const QDateTime &serverUtc);
    // A reply that no pending read() or write() takes: the answer to a send() with read-back.
    void replyReceived(const QString &url, const QString &data);

private:
    struct Slot
    {
        Entry entry;
        bool store = false;
        std::optional<QString> reply;
    };

    bool start(const QList<Entry> &entries, bool store);
    bool sendMissing();
    bool writeDatagram(const QByteArray &payload);
    void readPendingDatagrams();
    void takeReply(const QByteArray &payload);
    void attemptTimedOut();
    void finish();

    QUdpSocket *socket = nullptr;
    QTimer *attemptTimer = nullptr;
    QHostAddress serverAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 serverPort = defaultServerPort;
    int timeoutMs = 1000;
    int retries = 2;
    int retriesLeft = 0;
    QList<Slot> pending;
    QString lastError;
};
