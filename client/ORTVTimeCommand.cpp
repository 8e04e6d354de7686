#include "ORTVTimeCommand.h"
#include "ORTVDataClient.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

int ORTVTimeCommand::run()
{
    // The server sends keep-alives to every endpoint it has heard from, every 29 s.
    constexpr int keepAlivePeriodMs = 30000;
    if (!bindClient())
        return NoAnswer;
    QDateTime serverUtc;
    QDateTime localUtc;
    QEventLoop loop;
    connect(client, &ORTVDataClient::keepAliveReceived, &loop, [&](const QDateTime &utc) {
        localUtc = QDateTime::currentDateTimeUtc();
        serverUtc = utc;
        loop.quit();
    });
    // The wait for a frame counts from the start: the read's retries take part of it.
    const QDeadlineTimer deadline(keepAlivePeriodMs);
    // Any datagram makes this endpoint a peer; its answer shows that the server is there.
    if (!await(client->read({QStringLiteral("com.orvane.date.utc")})) && !serverUtc.isValid())
        return requestFailed();
    // Armed only now: a quit while the read's own loop ran would not end this one.
    if (!serverUtc.isValid() && !deadline.hasExpired()) {
        QTimer::singleShot(deadline.remainingTime(), &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!serverUtc.isValid())
        return fail(NoAnswer, QStringLiteral("no keep-alive frame from %1 port %2 within %3 s")
                                  .arg(options.host).arg(options.port)
                                  .arg(keepAlivePeriodMs / 1000));
    const double offsetS = double(localUtc.msecsTo(serverUtc)) / 1000;
    out << "server time " << serverUtc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        << " UTC\n"
        << "offset " << (offsetS >= 0 ? "+" : "") << QString::number(offsetS, 'f', 3)
        << " s (server clock minus local clock, network delay included)\n";
    return Success;
}
