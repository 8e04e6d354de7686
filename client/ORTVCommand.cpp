#include "ORTVCommand.h"
#include "ORTVDataClient.h"
#include "ORTVHttpReader.h"
#include "ORTVWait.h"

#include <cstdio>

ORTVCommand::ORTVCommand(const ORTVCommandOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , client(new ORTVDataClient(this))
    , http(new ORTVHttpReader(this))
    , out(stdout)
    , err(stderr)
{
    client->setServer(options.address, options.port);
    client->setTimeout(options.timeoutMs);
    client->setRetries(options.retries);
    http->setServer(options.host, options.httpPort);
    http->setTimeout(options.timeoutMs);
}

int ORTVCommand::fail(int status, const QString &message)
{
    out.flush();
    err << "ortv: " << message << Qt::endl;
    return status;
}

int ORTVCommand::noAnswer(const QStringList &missingUrls)
{
    return fail(NoAnswer, QStringLiteral("no answer from %1 port %2 for %3 (%4 tries of %5 ms)")
                              .arg(options.host).arg(options.port)
                              .arg(missingUrls.join(QLatin1String(", ")))
                              .arg(options.retries + 1).arg(options.timeoutMs));
}

// A request that could not start leaves nothing missing; the client says why it did not.
int ORTVCommand::requestFailed()
{
    return lastMissing.isEmpty() ? fail(NoAnswer, client->errorString()) : noAnswer(lastMissing);
}

bool ORTVCommand::bindClient()
{
    const bool bound = options.sourcePort < 0
        ? client->bindFirstFree(options.address)
        : client->bind(options.address, quint16(options.sourcePort));
    if (!bound)
        fail(NoAnswer, QStringLiteral("cannot bind a source port: %1").arg(client->errorString()));
    return bound;
}

std::optional<QStringList> ORTVCommand::await(bool started)
{
    if (!started) {
        lastMissing.clear();
        return std::nullopt;
    }
    return ORTVWait::forOutcome(client, &ORTVDataClient::finished, &ORTVDataClient::failed,
                                lastMissing);
}

std::optional<QByteArray> ORTVCommand::httpGet(const QString &path)
{
    http->get(path);
    return ORTVWait::forOutcome(http, &ORTVHttpReader::finished, &ORTVHttpReader::failed,
                                lastHttpError);
}
