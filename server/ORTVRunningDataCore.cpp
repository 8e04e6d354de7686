#include "ORTVRunningDataCore.h"
#include "ORTVLogFormat.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

ORTVRunningDataCore::ORTVRunningDataCore(QObject *parent)
    : QObject(parent)
{
}

void ORTVRunningDataCore::receivedDataFromClient(const QNetworkDatagram &dgram)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(dgram.data(), &error);
    if (error.error != QJsonParseError::NoError) {
        ++counted.parseErrors;
        qDebug() << "ORTVRunningDataCore: JSON Parse Error: " << error.errorString();
        return;
    }

    if (doc.isArray()) {
        const QJsonArray commands = doc.array();
        for (const QJsonValue &element : commands) {
            if (element.isObject())
                parseJSONObject(element.toObject(), dgram);
            else
                ++counted.ignoredObjects;
        }
    } else if (doc.isObject()) {
        parseJSONObject(doc.object(), dgram);
    }
}

void ORTVRunningDataCore::parseJSONObject(QJsonObject obj, const QNetworkDatagram &dgram)
{
    // Read through a const reference: operator[] on a non-const object would insert members.
    const QJsonObject &command = obj;
    if (!command.contains(QLatin1String("cmd"))) {
        ++counted.ignoredObjects;
        return;
    }

    // The selectors are substring tests and both are always made, so "SetDataReadData"
    // stores first and then answers with the value just stored.
    const QString cmd = command.value(QLatin1String("cmd")).toString();
    const bool hasUrl = command.contains(QLatin1String("url"));

    const bool isSet = cmd.contains(QLatin1String("SetData")) && hasUrl
                       && command.contains(QLatin1String("data"));
    const bool isRead = cmd.contains(QLatin1String("ReadData")) && hasUrl;
    if (isSet) {
        const QString key = command.value(QLatin1String("url")).toString();
        const QJsonValue data = command.value(QLatin1String("data"));
        if (data.isString())
            store(key, data.toString());
        else if (data.isDouble())
            store(key, QString::number(data.toDouble(), 'g', 6));
        ORTVLogFormat::logStore(coreData);
        ++counted.setData;
    }

    if (isRead) {
        const QJsonValue url = command.value(QLatin1String("url"));
        QJsonObject reply;
        reply.insert(QLatin1String("data"), coreData.value(url.toString()));
        reply.insert(QLatin1String("url"), url);
        const QNetworkDatagram frame(QJsonDocument(reply).toJson(QJsonDocument::Compact));
        emit needToSendFrame(frame, dgram.senderAddress(), quint16(dgram.senderPort()));
        ++counted.readData;
    }
    if (!isSet && !isRead)
        ++counted.ignoredObjects;
}

void ORTVRunningDataCore::store(const QString &key, const QString &value)
{
    const auto found = coreData.find(key);
    if (found == coreData.end()) {
        coreData.insert(key, value);
        ++changes;
    } else if (*found != value) {
        *found = value;
        ++changes;
    }
}

void ORTVRunningDataCore::restoreData(const QHash<QString, QString> &data)
{
    coreData = data;
    ++changes;
}

// Implicit sharing makes this copy O(1); the store detaches on its next write, so the
// snapshot never shows later changes.
QHash<QString, QString> ORTVRunningDataCore::getCoreData()
{
    return coreData;
}

ORTVRunningDataCore *ORTVRunningDataCore::iterateCore()
{
    return this;
}
