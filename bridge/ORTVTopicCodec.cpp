#include "ORTVTopicCodec.h"
#include "ORTVHexDigit.h"

namespace {

const QChar escape = QLatin1Char('%');

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool isNoncharacter(char32_t codePoint)
{
    return (codePoint >= 0xfdd0 && codePoint <= 0xfdef) || (codePoint & 0xfffe) == 0xfffe;
}

void appendHex(QString &out, char16_t unit, int digits)
{
    out += QString::number(unit, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

std::optional<char16_t> hexAt(const QString &text, qsizetype from, int digits)
{
    if (from + digits > text.size())
        return std::nullopt;
    char16_t value = 0;
    for (qsizetype i = from; i < from + digits; ++i) {
        const int digit = ORTVHexDigit::value(text.at(i).unicode());
        if (digit < 0)
            return std::nullopt;
        value = char16_t(value * 16 + digit);
    }
    return value;
}

} // namespace

QString ORTVTopicCodec::encode(const QString &key)
{
    if (key.isEmpty())
        return escape;
    QString out;
    out.reserve(key.size());
    for (qsizetype i = 0; i < key.size(); ++i) {
        const char16_t c = key.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < key.size() && key.at(i + 1).isLowSurrogate()) {
            const char16_t low = key.at(i + 1).unicode();
            if (isNoncharacter(QChar::surrogateToUcs4(c, low))) {
                out += QLatin1String("%u");
                appendHex(out, c, 4);
                out += QLatin1String("%u");
                appendHex(out, low, 4);
            } else {
                out += QChar(c);
                out += QChar(low);
            }
            ++i;
        } else if (QChar::isSurrogate(c) || isNoncharacter(c)) {
            out += QLatin1String("%u");
            appendHex(out, c, 4);
        } else if (c == '%' || c == '+' || c == '#' || isControl(c) || (i == 0 && c == '$')) {
            out += escape;
            appendHex(out, c, 2);
        } else {
            out += QChar(c);
        }
    }
    return out;
}

std::optional<QString> ORTVTopicCodec::decode(const QString &topic)
{
    if (topic == escape)
        return QString();
    if (topic.isEmpty())
        return std::nullopt;
    QString key;
    key.reserve(topic.size());
    for (qsizetype i = 0; i < topic.size(); ++i) {
        const QChar c = topic.at(i);
        if (c == QLatin1Char('+') || c == QLatin1Char('#'))
            return std::nullopt;
        if (c != escape) {
            key += c;
            continue;
        }
        const bool wide = i + 1 < topic.size() && topic.at(i + 1) == QLatin1Char('u');
        const int digits = wide ? 4 : 2;
        const qsizetype from = i + 1 + (wide ? 1 : 0);
        const std::optional<char16_t> unit = hexAt(topic, from, digits);
        if (!unit)
            return std::nullopt;
        key += QChar(*unit);
        i = from + digits - 1;
    }
    return key;
}
