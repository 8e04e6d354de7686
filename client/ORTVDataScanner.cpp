#include "ORTVDataScanner.h"
#include "ORTVHexDigit.h"

#include <cstring>

std::optional<ORTVHttpReader::Values> ORTVDataScanner::parse(const QByteArray &body)
{
    std::optional<ORTVHttpReader::Values> values = scanCompact(body);
    return values ? values : ORTVHttpReader::parseData(body);
}

std::optional<ORTVHttpReader::Values> ORTVDataScanner::scanCompact(const QByteArray &body)
{
    ORTVHttpReader::Values values;
    if (body.isValidUtf8() && ORTVDataScanner(body).scan(values))
        return values;
    return std::nullopt;
}

ORTVDataScanner::ORTVDataScanner(const QByteArray &body)
    : p(body.constData())
    , end(body.constData() + body.size())
{
}

bool ORTVDataScanner::expect(char c)
{
    if (p == end || *p != c)
        return false;
    ++p;
    return true;
}

// {"data":[ entries ] then further members whose values are strings, and nothing after the '}'.
bool ORTVDataScanner::scan(ORTVHttpReader::Values &values)
{
    static const char head[] = "{\"data\":[";
    if (end - p < qsizetype(sizeof head - 1) || std::memcmp(p, head, sizeof head - 1) != 0)
        return false;
    p += sizeof head - 1;
    QString key;
    QString value;
    if (!expect(']')) {
        do {
            if (!expect('{') || !readString(key) || !expect(':') || !readString(value)
                || !expect('}'))
                return false;
            values.append({key, value});
        } while (expect(','));
        if (!expect(']'))
            return false;
    }
    while (expect(',')) {
        if (!readString(key) || key == QLatin1String("data") || !expect(':') || !readString(value))
            return false;
    }
    return expect('}') && p == end;
}

// A JSON string: runs of plain UTF-8 are converted at once, escapes one by one.
bool ORTVDataScanner::readString(QString &out)
{
    if (!expect('"'))
        return false;
    out.clear();
    const char *run = p;
    for (;;) {
        if (p == end || uchar(*p) < 0x20)
            return false;
        if (*p == '"' || *p == '\\') {
            if (p != run)
                out += QString::fromUtf8(run, p - run);
            if (*p++ == '"')
                return true;
            if (!readEscape(out))
                return false;
            run = p;
            continue;
        }
        ++p;
    }
}

// After a backslash. \uXXXX adds one UTF-16 unit: a pair written as two escapes becomes the
// pair, and a lone surrogate stays one, as in QJsonDocument.
bool ORTVDataScanner::readEscape(QString &out)
{
    if (p == end)
        return false;
    switch (*p++) {
    case '"': out += QLatin1Char('"'); return true;
    case '\\': out += QLatin1Char('\\'); return true;
    case '/': out += QLatin1Char('/'); return true;
    case 'b': out += QLatin1Char('\b'); return true;
    case 'f': out += QLatin1Char('\f'); return true;
    case 'n': out += QLatin1Char('\n'); return true;
    case 'r': out += QLatin1Char('\r'); return true;
    case 't': out += QLatin1Char('\t'); return true;
    case 'u': {
        if (end - p < 4)
            return false;
        char16_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = ORTVHexDigit::value(uchar(*p++));
            if (digit < 0)
                return false;
            unit = char16_t(unit * 16 + digit);
        }
        out += QChar(unit);
        return true;
    }
    default:
        return false;
    }
}
