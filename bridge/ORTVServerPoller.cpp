#include "ORTVServerPoller.h"

#include "ORTVDataScanner.h"

#include <QDebug>
#include <QTimer>

#include <utility>

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

void ORTVServerPoller::readSoon()
{
    // The timer runs only between an answer and the next request.
    if (state == Up && timer->isActive()) {
        timer->stop();
        poll();
    }
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
        // /Data failed while /Status answers: that is told. (When both fail the server is down.)
        if (!dataError.isEmpty())
            setDataFailure(std::exchange(dataError, QString()));
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
        notAnswered(QStringLiteral("not a list of values"));
        return;
    }
    setDataFailure(QString());
    setUp(true, QString());
    emit dataRead(*values);
    scheduleNext();
}

void ORTVServerPoller::notAnswered(const QString &error)
{
    if (inFlight == dataPath) {
        // /Data may fail on its own (a body cut short, a store too large for the timeout):
        // /Status decides whether the server is up.
        dataError = error;
        inFlight = statusPath;
        reader->get(statusPath);
        return;
    }
    dataError.clear();
    setUp(false, QStringLiteral("%1: %2").arg(reader->url(statusPath).toString(), error));
    scheduleNext();
}

void ORTVServerPoller::setDataFailure(const QString &why)
{
    if (why.isEmpty() == dataFailure.isEmpty())
        return;
    if (why.isEmpty())
        qInfo().noquote() << "reading /Data works again";
    else
        qInfo().noquote() << QStringLiteral("reading %1 fails (%2); the broker keeps the last values")
                                 .arg(reader->url(dataPath).toString(), why);
    dataFailure = why;
}

void ORTVServerPoller::setUp(bool up, const QString &reason)
{
    const State next = up ? Up : Down;
    if (up)
        backoffMs = 0;
    else
        backoffMs = qMin(qMax(backoffMs * 2, intervalMs), maxBackoffMs);
    state = next;
    // The server counts as up for the broker only while /Data answers too.
    const bool usable = up && dataFailure.isEmpty();
    const QString why = up ? (usable ? QString() : QStringLiteral("/Data: ") + dataFailure) : reason;
    if (reportedAny && usable == reportedUp && why == reportedReason)
        return;
    if (!reportedAny || up != statusAnswers) {
        if (up)
            qInfo().noquote() << "data server answers";
        else
            qInfo().noquote() << QStringLiteral("data server down (%1); retrying until it answers")
                                     .arg(reason);
    }
    reportedAny = true;
    reportedUp = usable;
    reportedReason = why;
    statusAnswers = up;
    emit serverStateChanged(usable, why);
}

// Reads start every interval whatever each one took; a read that took longer than the interval
// is followed by the next at once. When the server is down, the pause grows to 10 s.
void ORTVServerPoller::scheduleNext()
{
    const qint64 wait = state == Down ? backoffMs : intervalMs - pollStarted.elapsed();
    timer->start(int(qMax<qint64>(0, wait)));
}
