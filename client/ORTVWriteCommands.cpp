#include "ORTVWriteCommands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

// The value to store for one VALUE argument, or nothing after printing why there is none.
std::optional<QJsonValue> ORTVWriteCommands::valueToSet(const QString &url, const QString &text)
{
    QJsonValue value(text);
    if (options.json) {
        QJsonParseError error;
        const QJsonArray parsed =
            QJsonDocument::fromJson('[' + text.toUtf8() + ']', &error).array();
        if (error.error != QJsonParseError::NoError || parsed.size() != 1) {
            fail(UsageError, QStringLiteral("%1: not a JSON value: %2").arg(url, text));
            return std::nullopt;
        }
        value = parsed.at(0);
    }
    if (!ORTVDataClient::storedForm(value)) {
        fail(UsageError, QStringLiteral("%1: the server stores nothing for %2 (only strings and "
                                        "numbers)").arg(url, text));
        return std::nullopt;
    }
    return value;
}

int ORTVWriteCommands::set(const QStringList &args)
{
    if (args.isEmpty() || args.size() % 2 != 0)
        return fail(UsageError, QStringLiteral("set takes URL VALUE pairs"));
    // A url given twice stores its last value: a retry must not store an earlier one again.
    QList<ORTVDataClient::Entry> entries;
    QHash<QString, QString> typed;
    for (qsizetype i = 0; i < args.size(); i += 2) {
        const QString &url = args.at(i);
        const std::optional<QJsonValue> value = valueToSet(url, args.at(i + 1));
        if (!value)
            return UsageError;
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const ORTVDataClient::Entry &e) { return e.url == url; }),
                      entries.end());
        entries.append({url, *value});
        typed.insert(url, args.at(i + 1).trimmed());
    }
    const QByteArray request = ORTVDataClient::writeRequest(entries, !options.noConfirm);
    if (request.size() > ORTVDataClient::maxDatagramBytes)
        return fail(UsageError, QStringLiteral("the values take %1 bytes, more than one datagram "
                                               "holds (%2)").arg(request.size())
                                    .arg(ORTVDataClient::maxDatagramBytes));
    if (!bindClient())
        return NoAnswer;
    if (options.noConfirm)
        return client->send(entries) ? Success : fail(NoAnswer, client->errorString());
    const std::optional<QStringList> readBack = await(client->write(entries));
    if (!readBack)
        return requestFailed();
    return checkReadBack(entries, *readBack, typed);
}

// Each value must read back as the server stores it; a number stored otherwise than typed
// is shown.
int ORTVWriteCommands::checkReadBack(const QList<ORTVDataClient::Entry> &entries,
                                     const QStringList &readBack,
                                     const QHash<QString, QString> &typed)
{
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString &url = entries.at(i).url;
        const QString stored = *ORTVDataClient::storedForm(entries.at(i).value);
        if (readBack.at(i) != stored)
            return fail(NoAnswer, QStringLiteral("%1 reads back \"%2\", not \"%3\" (written by "
                                                 "another client meanwhile?)")
                                      .arg(url, readBack.at(i), stored));
        if (entries.at(i).value.isDouble() && stored != typed.value(url))
            out << url << " stored as " << stored << '\n';
    }
    return Success;
}

// Stores every value of an `ortv dump --json` file, in as few confirmed datagrams as hold them.
int ORTVWriteCommands::load(const QString &file)
{
    QFile input(file);
    const bool opened = file == QLatin1String("-") ? input.open(stdin, QIODevice::ReadOnly)
                                                   : input.open(QIODevice::ReadOnly);
    if (!opened)
        return fail(UsageError, QStringLiteral("%1: %2").arg(file, input.errorString()));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(input.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return fail(UsageError, QStringLiteral("%1: not a JSON object of keys and values (%2)")
                                    .arg(file, error.errorString()));
    const QJsonObject object = document.object();
    QList<ORTVDataClient::Entry> entries;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!ORTVDataClient::storedForm(it.value()))
            return fail(UsageError, QStringLiteral("%1: the value of %2 is neither a string nor "
                                                   "a number").arg(file, it.key()));
        entries.append({it.key(), it.value()});
    }
    // Each entry gets a reply datagram, and the kernel charges a few hundred bytes for each small
    // one: with more than about 250 in one go the replies would overflow a default receive
    // buffer (212992) and be asked for again.
    constexpr qsizetype maxEntries = 200;
    QList<ORTVDataClient::Entry> tooLarge;
    const QList<QList<ORTVDataClient::Entry>> datagrams = ORTVDataClient::splitWrites(
        entries, true, &tooLarge, ORTVDataClient::maxDatagramBytes, maxEntries);
    if (!tooLarge.isEmpty())
        return fail(UsageError, QStringLiteral("%1: the value of %2 does not fit in a datagram")
                                    .arg(file, tooLarge.constFirst().url));
    if (!bindClient())
        return NoAnswer;
    for (const auto &datagram : datagrams) {
        const std::optional<QStringList> readBack = await(client->write(datagram));
        if (!readBack)
            return requestFailed();
        if (const int status = checkReadBack(datagram, *readBack, {}); status != Success)
            return status;
    }
    out << "loaded " << entries.size() << " values in " << datagrams.size() << " datagrams\n";
    return Success;
}
