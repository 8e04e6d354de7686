#include "ORTVLogFormat.h"
#include "ORTVDebugQuoting.h"
#include "ORTVStoreDump.h"

#include <QDebug>
#include <QHostAddress>
#include <QLoggingCategory>

#include <cstring>
#include <vector>

using namespace ORTVDebugQuoting;

namespace {

quint64 formattedCount = 0;

} // namespace

ORTVLogFormat::ORTVLogFormat()
{
    clear();
}

void ORTVLogFormat::clear()
{
    // The message channel may have kept the last text (a handler that stores messages):
    // leave that copy alone and write into a buffer of our own.
    if (!buffer.isDetached())
        buffer = QString();
    buffer.resize(room);
    base = reinterpret_cast<char16_t *>(buffer.data());
    used = 0;
}

char16_t *ORTVLogFormat::grow(qsizetype n)
{
    if (used + n > room)
        room = qMax(2 * room, used + n);
    buffer.resize(room);
    base = reinterpret_cast<char16_t *>(buffer.data());
    return base + used;
}

bool ORTVLogFormat::enabled()
{
#ifdef QT_NO_DEBUG_OUTPUT
    return false;
#else
    // The message channel drops debug messages of the default category when it is disabled,
    // and writes them when there is no category object (yet, or any more).
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    return !category || category->isDebugEnabled();
#endif
}

quint64 ORTVLogFormat::linesFormatted()
{
    return formattedCount;
}

ORTVLogFormat &ORTVLogFormat::shared()
{
    // One buffer per thread, kept at the size of the longest line so far.
    thread_local ORTVLogFormat format;
    format.clear();
    ++formattedCount;
    return format;
}

void ORTVLogFormat::appendRaw(QLatin1StringView text)
{
    setEnd(putLatin1(reserve(text.size()), text));
}

void ORTVLogFormat::appendNumber(qint64 value)
{
    char16_t digits[20];
    int n = 0;
    // Negated as unsigned so the most negative value does not overflow.
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        digits[n++] = char16_t(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    char16_t *out = reserve(n + 1);
    if (value < 0)
        *out++ = u'-';
    while (n)
        *out++ = digits[--n];
    setEnd(out);
}

void ORTVLogFormat::appendQuoted(QStringView text)
{
    const char16_t *p = text.utf16();
    setEnd(putQuoted(reserve(6 * text.size() + 2), p, p + text.size()));
}

void ORTVLogFormat::appendQuoted(QByteArrayView bytes)
{
    const uchar *p = reinterpret_cast<const uchar *>(bytes.data());
    setEnd(putQuoted(reserve(6 * bytes.size() + 2), p, p + bytes.size()));
}

QString ORTVLogFormat::addressText(const QHostAddress &address)
{
    return address.toString();
}

void ORTVLogFormat::appendAddress(const QHostAddress &address)
{
    if (address == QHostAddress::Any) {
        appendRaw(QLatin1StringView("QHostAddress(QHostAddress::Any)"));
        return;
    }
    appendRaw(QLatin1StringView("QHostAddress("));
    appendQuoted(addressText(address));
    appendRaw(QLatin1StringView(")"));
}

void ORTVLogFormat::appendStore(const QHash<QString, QString> &store)
{
    appendRaw(QLatin1StringView("QHash("));
    for (auto it = store.cbegin(); it != store.cend(); ++it) {
        const QStringView key(it.key());
        const QStringView value(it.value());
        setEnd(putEntry(reserve(6 * (key.size() + value.size()) + 8), key, value));
    }
    appendRaw(QLatin1StringView(")"));
}

void ORTVLogFormat::emitDebug()
{
    // What qDebug() << ... ends with: the finished text to the message channel, as a debug
    // message of the default category (which the channel filters by the logging rules).
    buffer.resize(used);
    const QMessageLogContext context(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC,
                                     "default");
    qt_message_output(QtDebugMsg, context, buffer);
}

#ifndef ORTV_LOG_VIA_DEBUG_STREAM

void ORTVLogFormat::logStore(const QHash<QString, QString> &store)
{
    if (!enabled())
        return;
    ++formattedCount;
    thread_local ORTVStoreDump dump;
    dump.write(store).emitDebug();
}

// RX ( "addr" : port ) <-  payload and TX ( "addr" : port ) -> payload: the payload quoted as
// bytes or as text, whichever it is.
template <typename Payload>
void ORTVLogFormat::logTransfer(QLatin1StringView head, const QHostAddress &address, int port,
                                QLatin1StringView arrow, Payload payload)
{
    if (!enabled())
        return;
    ORTVLogFormat &line = shared();
    line.appendRaw(head);
    line.appendQuoted(address);
    line.appendRaw(QLatin1StringView(" : "));
    line.appendNumber(port);
    line.appendRaw(arrow);
    line.appendQuoted(payload);
    line.emitDebug();
}

void ORTVLogFormat::logReceived(const QHostAddress &from, int port, const QByteArray &payload)
{
    logTransfer(QLatin1StringView("RX ( "), from, port, QLatin1StringView(" ) <-  "),
                QByteArrayView(payload));
}

void ORTVLogFormat::logSent(const QHostAddress &to, quint16 port, const QByteArray &payload)
{
    logTransfer(QLatin1StringView("TX ( "), to, port, QLatin1StringView(" ) -> "),
                QByteArrayView(payload));
}

void ORTVLogFormat::logSent(const QHostAddress &to, quint16 port, const QString &text)
{
    logTransfer(QLatin1StringView("TX ( "), to, port, QLatin1StringView(" ) -> "),
                QStringView(text));
}

// HEAD address : port, the address as `qDebug() << QHostAddress` writes it or quoted as text.
void ORTVLogFormat::logEndpoint(QLatin1StringView head, const QHostAddress &address,
                                AddressAs form, quint16 port)
{
    if (!enabled())
        return;
    ORTVLogFormat &line = shared();
    line.appendRaw(head);
    if (form == AddressAs::Object)
        line.appendAddress(address);
    else
        line.appendQuoted(address);
    line.appendRaw(QLatin1StringView(" : "));
    line.appendNumber(port);
    line.emitDebug();
}

void ORTVLogFormat::logSending(const QHostAddress &to, quint16 port)
{
    logEndpoint(QLatin1StringView("TX: "), to, AddressAs::Object, port);
}

void ORTVLogFormat::logNewPeer(const QHostAddress &address, quint16 port)
{
    logEndpoint(QLatin1StringView("New Peer added to list:  "), address, AddressAs::Text, port);
}

#else

// Item by item through the debug stream, as the lines were written before this class: kept
// as a build option so the benchmark can measure both ways.
void ORTVLogFormat::logStore(const QHash<QString, QString> &store)
{
    qDebug() << store;
}

void ORTVLogFormat::logReceived(const QHostAddress &from, int port, const QByteArray &payload)
{
    qDebug() << "RX (" << from.toString() << ":" << port << ") <- " << payload;
}

void ORTVLogFormat::logSent(const QHostAddress &to, quint16 port, const QByteArray &payload)
{
    qDebug() << "TX (" << to.toString() << ":" << port << ") ->" << payload;
}

void ORTVLogFormat::logSent(const QHostAddress &to, quint16 port, const QString &text)
{
    qDebug() << "TX (" << to.toString() << ":" << port << ") ->" << text;
}

void ORTVLogFormat::logSending(const QHostAddress &to, quint16 port)
{
    qDebug() << "TX:" << to << ":" << port;
}

void ORTVLogFormat::logNewPeer(const QHostAddress &address, quint16 port)
{
    qDebug() << "New Peer added to list: " << address.toString() << ":" << port;
}

#endif
