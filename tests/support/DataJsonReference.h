#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// The /Data body built the plain way, one QJsonObject per key: ORTVDataJson must write the same
// bytes for every store.
inline QByteArray dataJsonViaObjects(const QHash<QString, QString> &store)
{
    QJsonArray points;
    for (auto it = store.cbegin(); it != store.cend(); ++it)
        points.append(QJsonObject{{it.key(), it.value()}});
    QJsonObject answer;
    answer.insert(QLatin1String("message"), QLatin1String("Current Database values"));
    answer.insert(QLatin1String("data"), points);
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}
