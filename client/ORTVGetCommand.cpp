#include "ORTVGetCommand.h"
#include "ORTVDataClient.h"

#include <QJsonDocument>
#include <QJsonObject>

int ORTVGetCommand::run(const QStringList &urls)
{
    if (urls.isEmpty())
        return fail(UsageError, QStringLiteral("get takes at least one URL"));
    if (ORTVDataClient::readRequest(urls).size() > ORTVDataClient::maxDatagramBytes)
        return fail(UsageError, QStringLiteral("too many urls for one datagram"));
    if (!bindClient())
        return NoAnswer;
    const std::optional<QStringList> values = await(client->read(urls));
    if (!values)
        return requestFailed();
    for (qsizetype i = 0; i < urls.size(); ++i) {
        if (options.json) {
            const QJsonObject reply{{QLatin1String("data"), values->at(i)},
                                    {QLatin1String("url"), urls.at(i)}};
            out << QJsonDocument(reply).toJson(QJsonDocument::Compact) << '\n';
        } else if (options.withUrl) {
            out << urls.at(i) << '\t' << values->at(i) << '\n';
        } else {
            out << values->at(i) << '\n';
        }
    }
    return Success;
}
