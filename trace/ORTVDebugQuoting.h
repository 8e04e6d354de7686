#pragma once

#include <QLatin1StringView>
#include <QStringView>

// The debug stream's quoting rules, written straight into a buffer of UTF-16 code units. Each
// function writes at out and returns the end of what it wrote; the caller makes the room.
namespace ORTVDebugQuoting {

// Latin-1 text as it is (text.size() characters).
char16_t *putLatin1(char16_t *out, QLatin1StringView text);

// Text as `qDebug() << QString` writes it. Needs room for 6 * (end - p) + 2 characters.
char16_t *putQuoted(char16_t *out, const char16_t *p, const char16_t *end);

// Bytes as `qDebug() << QByteArray` writes them. Needs room for 6 * (end - p) + 2 characters.
char16_t *putQuoted(char16_t *out, const uchar *p, const uchar *end);

// ("key", "value"), one entry of `qDebug() << QHash<QString, QString>`. Needs room for
// 6 * (key.size() + value.size()) + 8 characters.
char16_t *putEntry(char16_t *out, QStringView key, QStringView value);

} // namespace ORTVDebugQuoting
