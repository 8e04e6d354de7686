#include "ORTVServerPoller.h"

#include "ORTVDataScanner.h"

#include <QTimer>

namespace {

const QString dataPath = QStringLiteral("/Data");
const QString statusPath = QStringLiteral("/Status");
constexpr int maxBackoffMs = 10000;

} // namespace

ORTVServerPoller::ORTVServerPoller(const QString &host, QObject *parent)
    : QObject(parent)
    , reader(new ORTVHttpReader(this))
    , timer(new QTimer(this))
{
    reader->setServer(host, 8080);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &ORTVServerPoller::poll);
    connect(reader, &ORTVHttpReader::finished, this, &ORTVServerPoller::answered);
    connect(reader, &ORTVHttpReader::failed, this, &ORTVServerPoller::notAnswered);
}

void ORTVServerPoller::setTimeout(int ms)
{
    reader->setTimeout(ms);
}

void ORTVServerPoller::start()
{
    poll();
}

void ORTVServerPoller::poll()
{
    pollStarted.start();
    // While the server is down only /Status is asked, the cheaper page.
    inFlight = state == Down ? statusPath : dataPath;
    reader->get(inFlight);
}

void ORTVServerPoller::answered(const QByteArray &body)
{
    if (inFlight == statusPath) {
        if (!ORTVHttpReader::isStatusSuccess(body)) {
            notAnswered(QStringLiteral("/Status does not say success"));
            return;
        }
        // Up again: read the data at once. Up all along (only /Data failed): at the next tick.
        const bool wasUp = state == Up;
        setUp(true, QString());
        if (wasUp)
            scheduleNext();
        else
            poll();
        return;
    }
    const std::optional<ORTVHttpReader::Values> values = ORTVDataScanner::parse(body);
    if (!values) {
        notAnswered(QStringLiteral("/Data is not a list of values"));
        return;
    }
    setUp(true, QString());
    emit dataRead(*values);
    scheduleNext();
}

void ORTVServerPoller::notAnswered(const QString &error)
{
    if (inFlight == dataPath) {
        // /Data may fail on its own (a body cut short): /Status decides whether the server is up.
        inFlight = statusPath;
        reader->get(statusPath);
        return;
    }
    setUp(false, QStringLiteral("%1: %2").arg(reader->url(statusPath).toString(), error));
    scheduleNext();
}

void ORTVServerPoller::setUp(bool up, const QString &reason)
{
    const State next = up ? Up : Down;
    if (up)
        backoffMs = 0;
    else
        backoffMs = qMin(qMax(backoffMs * 2, intervalMs), maxBackoffMs);
    if (next == state)
        return;
    state = next;
    emit serverStateChanged(up, reason);
}

// Reads start every interval whatever each one took; a read that took longer than the interval
// is followed by the next at once. When the server is down, the pause grows to 10 s.
void ORTVServerPoller::scheduleNext()
{
    const qint64 wait = state == Down ? backoffMs : intervalMs - pollStarted.elapsed();
    timer->start(int(qMax<qint64>(0, wait)));
}
