#include "ORTVLogFormat.h"
#include "ORTVPlainText.h"

#include <QChar>
#include <QDebug>
#include <QHostAddress>
#include <QLoggingCategory>

#include <cstring>
#include <vector>

namespace {

quint64 formattedCount = 0;

constexpr char16_t hexUpper(unsigned nibble)
{
    nibble &= 0xf;
    return char16_t(nibble < 10 ? u'0' + nibble : u'A' + nibble - 10);
}

constexpr bool isHexDigit(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The two-character escapes the debug stream uses for these; 0 for the others.
constexpr char16_t shortEscape(unsigned c)
{
    switch (c) {
    case '"': return u'"';
    case '\\': return u'\\';
    case '\b': return u'b';
    case '\f': return u'f';
    case '\n': return u'n';
    case '\r': return u'r';
    case '\t': return u't';
    default: return 0;
    }
}

char16_t *putUnicodeEscape(char16_t *out, char16_t c)
{
    *out++ = u'\\';
    *out++ = u'u';
    *out++ = hexUpper(c >> 12);
    *out++ = hexUpper(c >> 8);
    *out++ = hexUpper(c >> 4);
    *out++ = hexUpper(c);
    return out;
}

char16_t *putLatin1(char16_t *out, QLatin1StringView text)
{
    for (char c : text)
        *out++ = char16_t(uchar(c));
    return out;
}

// True when all four code units at p are plain (ORTVPlainText::isPlain): the common case,
// tested four at a time on one 64-bit word.
inline bool fourPlainAscii(const char16_t *p)
{
    quint64 w;
    std::memcpy(&w, p, sizeof w);
    constexpr quint64 low15 = 0x7fff7fff7fff7fffULL;
    constexpr quint64 top = 0x8000800080008000ULL;
    const quint64 m = w & low15;
    const quint64 atLeast7F = (m + 0x7f817f817f817f81ULL) | w;  // top bit: unit >= 0x7f
    const quint64 atLeast20 = m + 0x7fe07fe07fe07fe0ULL;        // top bit: unit & 0x7fff >= 0x20
    const quint64 q = w ^ 0x0022002200220022ULL;
    const quint64 notQuote = ((q & low15) + low15) | q;         // top bit: unit != '"'
    const quint64 b = w ^ 0x005c005c005c005cULL;
    const quint64 notBackslash = ((b & low15) + low15) | b;     // top bit: unit != '\'
    return (~atLeast7F & atLeast20 & notQuote & notBackslash & top) == top;
}

// The debug stream's rules for text: printable characters (QChar::isPrint) are written as
// they are, '"' and '\' and the five C escapes get a backslash, other code units become
// \uXXXX; a valid surrogate pair is written as it is when its code point is printable and as
// \U00XXXXXX when not; a surrogate without its partner is \uXXXX. Needs room for
// 6 * (end - p) + 2 characters.
char16_t *putQuoted(char16_t *out, const char16_t *p, const char16_t *const end)
{
    *out++ = u'"';
    while (p != end) {
        if (end - p >= 4 && fourPlainAscii(p)) {
            std::memcpy(out, p, 4 * sizeof(char16_t));
            out += 4;
            p += 4;
            continue;
        }
        const char16_t c = *p;
        if (ORTVPlainText::isPlain(c)) {
            *out++ = c;
            ++p;
            continue;
        }
        if (c < 0x80) {
            if (const char16_t e = shortEscape(c)) {
                *out++ = u'\\';
                *out++ = e;
            } else {
                out = putUnicodeEscape(out, c);
            }
            ++p;
            continue;
        }
        if (!QChar::isSurrogate(c)) {
            if (QChar::isPrint(char32_t(c)))
                *out++ = c;
            else
                out = putUnicodeEscape(out, c);
            ++p;
            continue;
        }
        if (QChar::isHighSurrogate(c) && p + 1 != end && QChar::isLowSurrogate(p[1])) {
            const char32_t ucs4 = QChar::surrogateToUcs4(c, p[1]);
            if (QChar::isPrint(ucs4)) {
                *out++ = c;
                *out++ = p[1];
            } else {
                *out++ = u'\\';
                *out++ = u'U';
                *out++ = u'0';
                *out++ = u'0';
                for (int shift = 20; shift >= 0; shift -= 4)
                    *out++ = hexUpper(ucs4 >> shift);
            }
            p += 2;
            continue;
        }
        out = putUnicodeEscape(out, c);
        ++p;
    }
    *out++ = u'"';
    return out;
}

// The debug stream's rules for bytes: printable ASCII as it is, '"' and '\' and the five C
// escapes with a backslash, every other byte as \xNN; a hex digit right after \xNN is set off
// by "" so it cannot be read as part of the escape. Needs room for 6 * size + 2 characters.
char16_t *putQuoted(char16_t *out, const uchar *p, const uchar *const end)
{
    *out++ = u'"';
    bool afterHexEscape = false;
    for (; p != end; ++p) {
        const uchar c = *p;
        if (afterHexEscape) {
            if (isHexDigit(c)) {
                *out++ = u'"';
                *out++ = u'"';
            }
            afterHexEscape = false;
        }
        if (ORTVPlainText::isPlain(c)) {
            *out++ = c;
        } else if (const char16_t e = shortEscape(c)) {
            *out++ = u'\\';
            *out++ = e;
        } else {
            *out++ = u'\\';
            *out++ = u'x';
            *out++ = hexUpper(c >> 4);
            *out++ = hexUpper(c);
            afterHexEscape = true;
        }
    }
    *out++ = u'"';
    return out;
}

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
        char16_t *out = reserve(6 * (key.size() + value.size()) + 8);
        *out++ = u'(';
        out = putQuoted(out, key.utf16(), key.utf16() + key.size());
        *out++ = u',';
        *out++ = u' ';
        out = putQuoted(out, value.utf16(), value.utf16() + value.size());
        *out++ = u')';
        setEnd(out);
    }
    appendRaw(QLatin1StringView(")"));
}

struct ORTVLogFormat::StoreCache
{
    struct Entry
    {
        // Copies of the dumped strings: holding them keeps their characters where they are and
        // unchanged (a shared QString detaches before any change), so the same address and
        // size later means the same text.
        QString key;
        QString value;
        qsizetype offset = 0;  // of ("key", "value") in the dump's text
        qsizetype length = 0;
    };
    struct Change
    {
        size_t index;
        const QString *key;
        const QString *value;
        qsizetype start;  // of the new text in the scratch line
        qsizetype length;
    };
    static constexpr size_t maxChanges = 16;

    std::vector<Entry> entries;  // in the iteration order of the last dump
    std::vector<Change> changes;
    ORTVLogFormat line;     // the last dump's text, patched into the next one
    ORTVLogFormat scratch;  // the changed entries' new text
};

ORTVLogFormat::StoreCache &ORTVLogFormat::storeCache()
{
    thread_local StoreCache cache;
    return cache;
}

namespace {

char16_t *putEntry(char16_t *out, QStringView key, QStringView value)
{
    *out++ = u'(';
    out = putQuoted(out, key.utf16(), key.utf16() + key.size());
    *out++ = u',';
    *out++ = u' ';
    out = putQuoted(out, value.utf16(), value.utf16() + value.size());
    *out++ = u')';
    return out;
}

} // namespace

// The whole dump, escaped afresh, recording where each entry's text is.
void ORTVLogFormat::appendStore(const QHash<QString, QString> &store, StoreCache &cache)
{
    cache.entries.resize(size_t(store.size()));
    appendRaw(QLatin1StringView("QHash("));
    auto entry = cache.entries.begin();
    for (auto it = store.cbegin(); it != store.cend(); ++it, ++entry) {
        const QStringView k(it.key());
        const QStringView v(it.value());
        entry->key = it.key();
        entry->value = it.value();
        entry->offset = used;
        setEnd(putEntry(reserve(6 * (k.size() + v.size()) + 8), k, v));
        entry->length = used - entry->offset;
    }
    appendRaw(QLatin1StringView(")"));
}

// Rewrites the entries that changed since the last dump in its text, which this object holds.
// False when that is not worth it or not possible: the caller then writes the dump afresh.
bool ORTVLogFormat::patchStore(const QHash<QString, QString> &store, StoreCache &cache)
{
    std::vector<StoreCache::Entry> &entries = cache.entries;
    if (used == 0 || entries.size() != size_t(store.size()))
        return false;
    std::vector<StoreCache::Change> &changes = cache.changes;
    changes.clear();
    ORTVLogFormat &scratch = cache.scratch;
    scratch.clear();
    size_t i = 0;
    for (auto it = store.cbegin(); it != store.cend(); ++it, ++i) {
        const StoreCache::Entry &entry = entries[i];
        const QString &key = it.key();
        const QString &value = it.value();
        if (entry.key.constData() == key.constData() && entry.key.size() == key.size()
            && entry.value.constData() == value.constData()
            && entry.value.size() == value.size())
            continue;
        if (changes.size() == StoreCache::maxChanges)
            return false;
        const QStringView k(key);
        const QStringView v(value);
        const qsizetype start = scratch.used;
        scratch.setEnd(putEntry(scratch.reserve(6 * (k.size() + v.size()) + 8), k, v));
        changes.push_back({i, &key, &value, start, scratch.used - start});
    }

    qsizetype growth = 0;
    for (const StoreCache::Change &change : changes)
        growth += qMax<qsizetype>(0, change.length - entries[change.index].length);
    // Writable room for the grown text (a copy if a message handler kept the last one).
    if (used + growth > buffer.size() || !buffer.isDetached()) {
        room = qMax(room, used + growth);
        buffer.resize(room);
    }
    base = reinterpret_cast<char16_t *>(buffer.data());

    // From the last change to the first, so the text before each one is still where it was.
    const char16_t *const fresh = scratch.base;
    for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
        const StoreCache::Entry &entry = entries[change->index];
        const qsizetype tail = entry.offset + entry.length;
        std::memmove(base + entry.offset + change->length, base + tail,
                     size_t(used - tail) * sizeof(char16_t));
        std::memcpy(base + entry.offset, fresh + change->start,
                    size_t(change->length) * sizeof(char16_t));
        used += change->length - entry.length;
    }
    // Then the entries' records: new strings, lengths, and offsets moved by earlier changes.
    qsizetype shift = 0;
    auto change = changes.begin();
    for (size_t j = changes.empty() ? entries.size() : changes.front().index; j < entries.size();
         ++j) {
        StoreCache::Entry &entry = entries[j];
        entry.offset += shift;
        if (change != changes.end() && change->index == j) {
            shift += change->length - entry.length;
            entry.key = *change->key;
            entry.value = *change->value;
            entry.length = change->length;
            ++change;
        }
    }
    return true;
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
    StoreCache &cache = storeCache();
    ORTVLogFormat &line = cache.line;
    if (!line.patchStore(store, cache)) {
        line.clear();
        line.appendStore(store, cache);
    }
    line.emitDebug();
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

void ORTVLogFormat::logSending(const QHostAddress &to, quint16 port)
{
    if (!enabled())
        return;
    ORTVLogFormat &line = shared();
    line.appendRaw(QLatin1StringView("TX: "));
    line.appendAddress(to);
    line.appendRaw(QLatin1StringView(" : "));
    line.appendNumber(port);
    line.emitDebug();
}

void ORTVLogFormat::logNewPeer(const QHostAddress &address, quint16 port)
{
    if (!enabled())
        return;
    ORTVLogFormat &line = shared();
    line.appendRaw(QLatin1StringView("New Peer added to list:  "));
    line.appendQuoted(address);
    line.appendRaw(QLatin1StringView(" : "));
    line.appendNumber(port);
    line.emitDebug();
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
