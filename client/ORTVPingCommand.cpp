#include "ORTVPingCommand.h"
#include "ORTVDataClient.h"
#include "ORTVHttpReader.h"
#include "ORTVQuantile.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 3);
}

} // namespace

int ORTVPingCommand::run()
{
    QElapsedTimer clock;
    clock.start();
    const std::optional<QByteArray> status = httpGet(QStringLiteral("/Status"));
    const bool httpUp = status && ORTVHttpReader::isStatusSuccess(*status);
    out << "HTTP " << http->url(QStringLiteral("/Status")).toString() << ": "
        << (httpUp ? QStringLiteral("success, %1 ms").arg(milliseconds(clock.nsecsElapsed() / 1e6))
                   : status ? QStringLiteral("unexpected answer") : httpError())
        << '\n';

    if (!bindClient())
        return NoAnswer;
    client->setRetries(0);
    out << "UDP " << options.host << " port " << options.port << ", " << options.count
        << " ReadData round trips:\n";
    QList<double> times;
    for (int seq = 1; seq <= options.count; ++seq) {
        // A url of its own per round trip: a late reply is never taken for the next one.
        clock.restart();
        if (await(client->read({QStringLiteral("ortv.ping.%1").arg(seq)}))) {
            times.append(clock.nsecsElapsed() / 1e6);
            out << "reply seq=" << seq << " time=" << milliseconds(times.last()) << " ms\n";
        } else {
            out << "no reply seq=" << seq << " within " << options.timeoutMs << " ms\n";
        }
    }
    printRoundTrips(times);
    if (!httpUp || times.isEmpty())
        return fail(NoAnswer, QStringLiteral("the server is down or does not answer"));
    return Success;
}

void ORTVPingCommand::printRoundTrips(QList<double> times)
{
    const int lost = options.count - int(times.size());
    out << "--- " << times.size() << " received, " << lost << " lost ("
        << (100 * lost / options.count) << "% loss) ---\n";
    if (times.isEmpty())
        return;
    std::sort(times.begin(), times.end());
    out << "rtt min/median/p99/max = " << milliseconds(times.first()) << '/'
        << milliseconds(ORTVQuantile::of(times, 0.5)) << '/'
        << milliseconds(ORTVQuantile::of(times, 0.99)) << '/' << milliseconds(times.last())
        << " ms\n";
}
