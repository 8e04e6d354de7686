#include "ORTVCommands.h"
#include "ORTVDataClient.h"
#include "ORTVHttpReader.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Ctrl+C and kill end `watch` through the event loop: the handler only writes a byte to a
// socket pair, the one thing it may safely do.
int signalSockets[2] = {-1, -1};

void writeSignalByte(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[1], &byte, 1);
}

bool catchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

QString csvField(const QString &text)
{
    static const QRegularExpression special(QStringLiteral("[\",\r\n]"));
    if (!text.contains(special))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QLatin1String("\"\""))
        + QLatin1Char('"');
}

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 3);
}

// The value at fraction q of the sorted samples (nearest rank); the median of an even count is
// the mean of the two middle ones.
double quantile(const QList<double> &sorted, double q)
{
    const qsizetype n = sorted.size();
    if (q == 0.5 && n % 2 == 0)
        return (sorted.at(n / 2 - 1) + sorted.at(n / 2)) / 2;
    const qsizetype rank = qsizetype(std::ceil(q * double(n)));
    return sorted.at(std::clamp<qsizetype>(rank - 1, 0, n - 1));
}

} // namespace

ORTVCommands::ORTVCommands(const Options &options, QObject *parent)
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

int ORTVCommands::fail(int status, const QString &message)
{
    out.flush();
    err << "ortv: " << message << Qt::endl;
    return status;
}

int ORTVCommands::noAnswer(const QStringList &missingUrls)
{
    return fail(NoAnswer, QStringLiteral("no answer from %1 port %2 for %3 (%4 tries of %5 ms)")
                              .arg(options.host).arg(options.port)
                              .arg(missingUrls.join(QLatin1String(", ")))
                              .arg(options.retries + 1).arg(options.timeoutMs));
}

bool ORTVCommands::bindClient()
{
    const bool bound = options.sourcePort < 0
        ? client->bindFirstFree(options.address)
        : client->bind(options.address, quint16(options.sourcePort));
    if (!bound)
        fail(NoAnswer, QStringLiteral("cannot bind a source port: %1").arg(client->errorString()));
    return bound;
}

// Runs the event loop until the request just started ends: its values, or nothing when the
// server did not answer (lastMissing then lists what is missing).
std::optional<QStringList> ORTVCommands::await(bool started)
{
    if (!started) {
        lastMissing.clear();
        return std::nullopt;
    }
    QEventLoop loop;
    std::optional<QStringList> values;
    connect(client, &ORTVDataClient::finished, &loop, [&](const QStringList &replies) {
        values = replies;
        loop.quit();
    });
    connect(client, &ORTVDataClient::failed, &loop, [&](const QStringList &missing) {
        lastMissing = missing;
        loop.quit();
    });
    loop.exec();
    return values;
}

std::optional<QByteArray> ORTVCommands::httpGet(const QString &path)
{
    QEventLoop loop;
    std::optional<QByteArray> body;
    connect(http, &ORTVHttpReader::finished, &loop, [&](const QByteArray &bytes) {
        body = bytes;
        loop.quit();
    });
    connect(http, &ORTVHttpReader::failed, &loop, [&](const QString &error) {
        lastHttpError = error;
        loop.quit();
    });
    http->get(path);
    loop.exec();
    return body;
}

// The value to store for one VALUE argument, or nothing after printing why there is none.
std::optional<QJsonValue> ORTVCommands::valueToSet(const QString &url, const QString &text)
{
    QJsonValue value(text);
    if (options.json) {
        QJsonParseError error;
        const QJsonArray parsed = QJsonDocument::fromJson('[' + text.toUtf8() + ']', &error).array();
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

int ORTVCommands::set(const QStringList &args)
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
        return lastMissing.isEmpty() ? fail(NoAnswer, client->errorString()) : noAnswer(lastMissing);
    return checkReadBack(entries, *readBack, typed);
}

// Each value must read back as the server stores it; a number stored otherwise than typed
// is shown.
int ORTVCommands::checkReadBack(const QList<ORTVDataClient::Entry> &entries,
                                const QStringList &readBack, const QHash<QString, QString> &typed)
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

int ORTVCommands::get(const QStringList &urls)
{
    if (urls.isEmpty())
        return fail(UsageError, QStringLiteral("get takes at least one URL"));
    if (ORTVDataClient::readRequest(urls).size() > ORTVDataClient::maxDatagramBytes)
        return fail(UsageError, QStringLiteral("too many urls for one datagram"));
    if (!bindClient())
        return NoAnswer;
    const std::optional<QStringList> values = await(client->read(urls));
    if (!values)
        return lastMissing.isEmpty() ? fail(NoAnswer, client->errorString()) : noAnswer(lastMissing);
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

int ORTVCommands::watch(const QStringList &urls)
{
    if (urls.isEmpty())
        return fail(UsageError, QStringLiteral("watch takes at least one URL"));
    if (!bindClient())
        return NoAnswer;
    if (!catchTerminationSignals())
        return fail(NoAnswer, QStringLiteral("cannot catch Ctrl+C"));

    QEventLoop loop;
    QSocketNotifier interrupted(signalSockets[0], QSocketNotifier::Read);
    connect(&interrupted, &QSocketNotifier::activated, &loop, &QEventLoop::quit);

    QList<std::optional<QString>> shown(urls.size());
    bool silent = false;
    connect(client, &ORTVDataClient::finished, &loop, [&](const QStringList &values) {
        if (silent)
            err << "ortv: the server answers again" << Qt::endl;
        silent = false;
        const QString now = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        for (qsizetype i = 0; i < urls.size(); ++i) {
            if (shown.at(i) == values.at(i))
                continue;
            shown[i] = values.at(i);
            out << now << '\t' << urls.at(i) << '\t' << values.at(i) << Qt::endl;
        }
    });
    connect(client, &ORTVDataClient::failed, &loop, [&](const QStringList &missing) {
        if (!silent)
            noAnswer(missing);
        silent = true;
    });

    const auto pollOnce = [&] {
        if (!client->isBusy() && !client->read(urls))
            fail(NoAnswer, client->errorString());
    };
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, pollOnce);
    poll.start(int(options.intervalS * 1000));
    QTimer::singleShot(0, &loop, pollOnce);
    loop.exec();
    return Success;
}

QString ORTVCommands::wildcardExpression(const QString &pattern)
{
    QString expression;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('*'))
            expression += QLatin1String(".*");
        else if (c == QLatin1Char('?'))
            expression += QLatin1Char('.');
        else
            expression += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression::anchoredPattern(expression);
}

int ORTVCommands::dump()
{
    const std::optional<QByteArray> body = httpGet(QStringLiteral("/Data"));
    if (!body)
        return fail(NoAnswer, QStringLiteral("no answer from %1: %2")
                                  .arg(http->url(QStringLiteral("/Data")).toString(), lastHttpError));
    std::optional<ORTVHttpReader::Values> values = ORTVHttpReader::parseData(*body);
    if (!values)
        return fail(NoAnswer, QStringLiteral("%1 is not a data list")
                                  .arg(http->url(QStringLiteral("/Data")).toString()));
    if (!options.match.isEmpty()) {
        const QRegularExpression filter(wildcardExpression(options.match),
                                        QRegularExpression::DotMatchesEverythingOption);
        values->erase(std::remove_if(values->begin(), values->end(),
                                     [&](const auto &kv) { return !filter.match(kv.first).hasMatch(); }),
                      values->end());
    }
    printDump(*values);
    return Success;
}

// Stores every value of an `ortv dump --json` file, in as few confirmed datagrams as hold them.
int ORTVCommands::load(const QString &file)
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
            return lastMissing.isEmpty() ? fail(NoAnswer, client->errorString())
                                         : noAnswer(lastMissing);
        if (const int status = checkReadBack(datagram, *readBack, {}); status != Success)
            return status;
    }
    out << "loaded " << entries.size() << " values in " << datagrams.size() << " datagrams\n";
    return Success;
}

void ORTVCommands::printDump(const QList<QPair<QString, QString>> &values)
{
    if (options.json) {
        QJsonObject object;
        for (const auto &[key, value] : values)
            object.insert(key, value);
        out << QJsonDocument(object).toJson(QJsonDocument::Indented);
    } else if (options.csv) {
        out << "key,value\n";
        for (const auto &[key, value] : values)
            out << csvField(key) << ',' << csvField(value) << '\n';
    } else {
        qsizetype width = 0;
        for (const auto &kv : values)
            width = std::max(width, kv.first.size());
        for (const auto &[key, value] : values)
            out << key.leftJustified(width) << "  " << value << '\n';
    }
}

int ORTVCommands::ping()
{
    QElapsedTimer clock;
    clock.start();
    const std::optional<QByteArray> status = httpGet(QStringLiteral("/Status"));
    const bool httpUp = status && ORTVHttpReader::isStatusSuccess(*status);
    out << "HTTP " << http->url(QStringLiteral("/Status")).toString() << ": "
        << (httpUp ? QStringLiteral("success, %1 ms").arg(milliseconds(clock.nsecsElapsed() / 1e6))
                   : status ? QStringLiteral("unexpected answer") : lastHttpError)
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

void ORTVCommands::printRoundTrips(QList<double> times)
{
    const int lost = options.count - int(times.size());
    out << "--- " << times.size() << " received, " << lost << " lost ("
        << (100 * lost / options.count) << "% loss) ---\n";
    if (times.isEmpty())
        return;
    std::sort(times.begin(), times.end());
    out << "rtt min/median/p99/max = " << milliseconds(times.first()) << '/'
        << milliseconds(quantile(times, 0.5)) << '/' << milliseconds(quantile(times, 0.99)) << '/'
        << milliseconds(times.last()) << " ms\n";
}

int ORTVCommands::time()
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
        return lastMissing.isEmpty() ? fail(NoAnswer, client->errorString()) : noAnswer(lastMissing);
    // Armed only now: a quit while the read's own loop ran would not end this one.
    if (!serverUtc.isValid() && !deadline.hasExpired()) {
        QTimer::singleShot(deadline.remainingTime(), &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!serverUtc.isValid())
        return fail(NoAnswer, QStringLiteral("no keep-alive frame from %1 port %2 within %3 s")
                                  .arg(options.host).arg(options.port).arg(keepAlivePeriodMs / 1000));
    const double offsetS = double(localUtc.msecsTo(serverUtc)) / 1000;
    out << "server time " << serverUtc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        << " UTC\n"
        << "offset " << (offsetS >= 0 ? "+" : "") << QString::number(offsetS, 'f', 3)
        << " s (server clock minus local clock, network delay included)\n";
    return Success;
}
