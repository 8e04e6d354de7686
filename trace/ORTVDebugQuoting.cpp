#include "ORTVDebugQuoting.h"
#include "ORTVPlainText.h"

#include <QChar>

#include <cstring>

namespace {

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

} // namespace

char16_t *ORTVDebugQuoting::putLatin1(char16_t *out, QLatin1StringView text)
{
    for (char c : text)
        *out++ = char16_t(uchar(c));
    return out;
}

// The debug stream's rules for text: printable characters (QChar::isPrint) are written as
// they are, '"' and '\' and the five C escapes get a backslash, other code units become
// \uXXXX; a valid surrogate pair is written as it is when its code point is printable and as
// \U00XXXXXX when not; a surrogate without its partner is \uXXXX. Needs room for
// 6 * (end - p) + 2 characters.
char16_t *ORTVDebugQuoting::putQuoted(char16_t *out, const char16_t *p, const char16_t *const end)
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
char16_t *ORTVDebugQuoting::putQuoted(char16_t *out, const uchar *p, const uchar *const end)
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

char16_t *ORTVDebugQuoting::putEntry(char16_t *out, QStringView key, QStringView value)
{
    *out++ = u'(';
    out = putQuoted(out, key.utf16(), key.utf16() + key.size());
    *out++ = u',';
    *out++ = u' ';
    out = putQuoted(out, value.utf16(), value.utf16() + value.size());
    *out++ = u')';
    return out;
}
