#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

class QHostAddress;

// The per-datagram log lines, written without the debug stream's per-item machinery but
// character for character as `qDebug() << ...` writes them: strings are quoted and escaped by
// the same rules, numbers are plain decimal. Each line is built in a buffer that is kept and
// reused, then handed to the message channel as one debug message of the default category.
// When debug output of that category is disabled (for example through QT_LOGGING_RULES),
// nothing is formatted at all.
class ORTVLogFormat
{
public:
    ORTVLogFormat();

    // True when a debug message of the default category would be written.
    static bool enabled();
    // How many lines the static functions below have formatted so far (disabled ones are not).
    static quint64 linesFormatted();

    // QHash(("k", "v")("k2", "v2")) in the hash's iteration order: the store after a write
    // (ORTVStoreDump rewrites only what changed since the last one).
    static void logStore(const QHash<QString, QString> &store);
    // RX ( "addr" : port ) <-  "payload"
    static void logReceived(const QHostAddress &from, int port, const QByteArray &payload);
    // TX ( "addr" : port ) -> "payload", for raw bytes and for text.
    static void logSent(const QHostAddress &to, quint16 port, const QByteArray &payload);
    static void logSent(const QHostAddress &to, quint16 port, const QString &text);
    // TX: QHostAddress("addr") : port, before a reply is handed to the transceiver.
    static void logSending(const QHostAddress &to, quint16 port);
    // New Peer added to list:  "addr" : port
    static void logNewPeer(const QHostAddress &address, quint16 port);

    // The building blocks, each writing what the debug stream writes for one item.
    void clear();
    void appendRaw(QLatin1StringView text);
    void appendNumber(qint64 value);
    void appendQuoted(QStringView text);      // as `qDebug() << QString`
    void appendQuoted(QByteArrayView bytes);  // as `qDebug() << QByteArray`
    void appendQuoted(const QHostAddress &address) { appendQuoted(addressText(address)); }
    void appendAddress(const QHostAddress &address);  // as `qDebug() << QHostAddress`
    void appendStore(const QHash<QString, QString> &store);  // as `qDebug() << QHash`

    QStringView view() const { return QStringView(buffer.constData(), used); }
    QString text() const { return view().toString(); }
    // Writes the text as one debug message of the default category, exactly as built: what
    // the debug stream's destructor does with its own text.
    void emitDebug();

private:
    // Room for n more characters; returns where to write them. Grows the buffer as needed.
    char16_t *reserve(qsizetype n)
    {
        return used + n <= buffer.size() ? base + used : grow(n);
    }
    char16_t *grow(qsizetype n);
    void setEnd(const char16_t *end) { used = end - base; }
    enum class AddressAs { Object, Text };
    static void logEndpoint(QLatin1StringView head, const QHostAddress &address, AddressAs form,
                            quint16 port);
    template <typename Payload>
    static void logTransfer(QLatin1StringView head, const QHostAddress &address, int port,
                            QLatin1StringView arrow, Payload payload);
    static QString addressText(const QHostAddress &address);
    static ORTVLogFormat &shared();
    // Patches the last dump's text in place.
    friend class ORTVStoreDump;

    QString buffer;   // written through base; its size is the usable room, not the text
    char16_t *base = nullptr;
    qsizetype used = 0;
    qsizetype room = 4096;  // the buffer's size while a line is built
};
