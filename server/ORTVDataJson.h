#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The body of the /Data answer, written straight from the store:
// {"data":[{"key":"value"},...],"message":"Current Database values"}, byte for byte what
// QJsonDocument writes (compact) for the same object, in the hash's iteration order. Building
// one QJsonObject per key costs about a microsecond each; this copies plain text as it is and
// leaves any string that needs escaping to QJsonDocument itself.
class ORTVDataJson
{
public:
    static QByteArray document(const QHash<QString, QString> &store);

private:
    static void appendString(QByteArray &out, const QString &text);
};
