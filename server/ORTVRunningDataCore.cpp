#include "ORTVRunningDataCore.h"
#include "ORTVLogFormat.h"
#include "ORTVPlainCommand.h"
#include "ORTVPlainText.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

// True for text the JSON writer copies into a string unchanged: printable ASCII without the
// quote and the backslash, which it escapes (as it does control characters and, by encoding,
// everything beyond ASCII).
bool writtenAsIs(QStringView text)
{
    for (const QChar c : text) {
        if (!ORTVPlainText::isPlain(c.unicode()))
            return false;
    }
    return true;
}

void appendAscii(QByteArray &bytes, QStringView text)
{
    const qsizetype at = bytes.size();
    bytes.resize(at + text.size());
    char *out = bytes.data() + at;
    for (const QChar c : text)
        *out++ = char(c.unicode());
}

// {"data":value,"url":key} in compact JSON, members by key. The usual reply, a key and a value
// that are plain text, is put together directly; it is byte for byte what the JSON writer
// makes of it, without building an object and a document for every request.
QByteArray replyFrame(const QString &key, const QString &value)
{
    if (writtenAsIs(key) && writtenAsIs(value)) {
        QByteArray bytes;
        bytes.reserve(20 + key.size() + value.size());
        bytes.append("{\"data\":\"");
        appendAscii(bytes, value);
        bytes.append("\",\"url\":\"");
        appendAscii(bytes, key);
        bytes.append("\"}");
        return bytes;
    }
    return QJsonDocument(QJsonObject{{QLatin1String("data"), value}, {QLatin1String("url"), key}})
        .toJson(QJsonDocument::Compact);
}

// The same for a url that may be any JSON value: it is echoed as sent.
QByteArray replyFrame(const QJsonValue &url, const QString &key, const QString &value)
{
    if (url.isString())
        return replyFrame(key, value);
    QJsonObject reply;
    reply.insert(QLatin1String("data"), value);
    reply.insert(QLatin1String("url"), url);
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

} // namespace

ORTVRunningDataCore::ORTVRunningDataCore(QObject *parent)
    : QObject(parent)
{
}

void ORTVRunningDataCore::receivedDataFromClient(const QNetworkDatagram &dgram)
{
    const QByteArray payload = dgram.data();
    if (const std::optional<ORTVPlainCommand> plain = ORTVPlainCommand::read(payload)) {
        carryOut(*plain, dgram);
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
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
        stored();
    }

    if (isRead) {
        const QJsonValue url = command.value(QLatin1String("url"));
        const QString key = url.toString();
        reply(replyFrame(url, key, coreData.value(key)), dgram);
    }
    if (!isSet && !isRead)
        ++counted.ignoredObjects;
}

// The same selection as parseJSONObject, for a command whose members are all plain strings.
void ORTVRunningDataCore::carryOut(const ORTVPlainCommand &command, const QNetworkDatagram &dgram)
{
    if (!command.cmd) {
        ++counted.ignoredObjects;
        return;
    }
    const QByteArrayView cmd = *command.cmd;
    const bool isSet = cmd.contains("SetData") && command.url && command.data;
    const bool isRead = cmd.contains("ReadData") && command.url;
    if (!isSet && !isRead) {
        ++counted.ignoredObjects;
        return;
    }
    const QString key = QString::fromLatin1(*command.url);
    if (isSet) {
        store(key, QString::fromLatin1(*command.data));
        stored();
    }
    if (isRead)
        reply(replyFrame(key, coreData.value(key)), dgram);
}

void ORTVRunningDataCore::stored()
{
    ORTVLogFormat::logStore(coreData);
    ++counted.setData;
}

void ORTVRunningDataCore::reply(const QByteArray &frame, const QNetworkDatagram &dgram)
{
    emit needToSendFrame(QNetworkDatagram(frame), dgram.senderAddress(),
                         quint16(dgram.senderPort()));
    ++counted.readData;
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
