#include "ORTVDataJson.h"
#include "ORTVPlainText.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>

namespace {

// Writes text as a JSON string at p when it is all printable ASCII other than '"' and '\'
// (written as it is); returns the end, or nullptr when the text needs more than that.
char *putPlain(char *p, QStringView text)
{
    *p++ = '"';
    const char16_t *const units = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = units[i];
        if (!ORTVPlainText::isPlain(u))
            return nullptr;
        *p++ = char(u);
    }
    *p++ = '"';
    return p;
}

} // namespace

void ORTVDataJson::appendString(QByteArray &out, const QString &text)
{
    // Escapes, control characters, non-ASCII, lone surrogates: exactly as Qt writes a string.
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out += QByteArrayView(quoted).sliced(1, quoted.size() - 2);
}

QByteArray ORTVDataJson::document(const QHash<QString, QString> &store)
{
    static const char head[] = "{\"data\":[";
    static const char tail[] = "],\"message\":\"Current Database values\"}";
    // Each entry is given room for {"key":"value"} written plainly and a comma; what is left
    // of that room for the entries still to come (and the tail) is budget.
    qsizetype budget = qsizetype(sizeof tail);
    for (auto it = store.cbegin(); it != store.cend(); ++it)
        budget += it.key().size() + it.value().size() + 8;
    QByteArray out(qsizetype(sizeof head) + budget, Qt::Uninitialized);
    char *p = out.data();
    std::memcpy(p, head, sizeof head - 1);
    p += sizeof head - 1;
    bool first = true;
    // The strings' characters lie all over the heap: ask for those of the entries a few steps
    // ahead while this one is written, instead of waiting for each in turn.
    constexpr int prefetchDistance = 8;
    auto ahead = store.cbegin();
    for (int i = 0; i < prefetchDistance && ahead != store.cend(); ++i)
        ++ahead;
    for (auto it = store.cbegin(); it != store.cend(); ++it) {
        if (ahead != store.cend()) {
            __builtin_prefetch(ahead.key().constData());
            __builtin_prefetch(ahead.value().constData());
            ++ahead;
        }
        budget -= it.key().size() + it.value().size() + 8;
        if (!first)
            *p++ = ',';
        first = false;
        char *const entry = p;
        *p++ = '{';
        char *const afterKey = putPlain(p, it.key());
        char *const afterValue = afterKey ? putPlain(afterKey + 1, it.value()) : nullptr;
        if (afterValue) {
            *afterKey = ':';
            *afterValue = '}';
            p = afterValue + 1;
            continue;
        }
        // This entry needs escaping: written the slow way, with room made for it.
        QByteArray slow = "{";
        appendString(slow, it.key());
        slow += ':';
        appendString(slow, it.value());
        slow += '}';
        const qsizetype at = entry - out.data();
        if (at + slow.size() + budget > out.size())
            out.resize(at + slow.size() + budget);
        p = out.data() + at;
        std::memcpy(p, slow.constData(), size_t(slow.size()));
        p += slow.size();
    }
    std::memcpy(p, tail, sizeof tail - 1);
    p += sizeof tail - 1;
    out.truncate(p - out.data());
    return out;
}
