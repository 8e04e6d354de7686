#include "ORTVDataJson.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// Printable ASCII other than '"' and '\': JSON writes these as they are.
bool isPlain(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u >= 0x7f || u == u'"' || u == u'\\')
            return false;
    }
    return true;
}

} // namespace

void ORTVDataJson::appendString(QByteArray &out, const QString &text)
{
    if (isPlain(text)) {
        out += '"';
        const qsizetype at = out.size();
        out.resize(at + text.size());
        char *p = out.data() + at;
        for (const QChar c : text)
            *p++ = char(c.unicode());
        out += '"';
        return;
    }
    // Escapes, control characters, non-ASCII, lone surrogates: exactly as Qt writes a string.
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out += QByteArrayView(quoted).sliced(1, quoted.size() - 2);
}

QByteArray ORTVDataJson::document(const QHash<QString, QString> &store)
{
    QByteArray out;
    qsizetype size = 64;
    for (auto it = store.cbegin(); it != store.cend(); ++it)
        size += it.key().size() + it.value().size() + 8;
    out.reserve(size);
    out += "{\"data\":[";
    bool first = true;
    for (auto it = store.cbegin(); it != store.cend(); ++it) {
        out += first ? "{" : ",{";
        first = false;
        appendString(out, it.key());
        out += ':';
        appendString(out, it.value());
        out += '}';
    }
    out += "],\"message\":\"Current Database values\"}";
    return out;
}
