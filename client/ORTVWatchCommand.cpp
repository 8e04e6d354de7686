#include "ORTVWatchCommand.h"
#include "ORTVDataClient.h"
#include "ORTVSignalPipe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <csignal>

int ORTVWatchCommand::run(const QStringList &urls)
{
    if (urls.isEmpty())
        return fail(UsageError, QStringLiteral("watch takes at least one URL"));
    if (!bindClient())
        return NoAnswer;
    // Ctrl+C and kill end the loop, and the program with status 0. The pipe lives as long as the
    // application: a second signal while the program ends is caught as well.
    auto *interrupts = new ORTVSignalPipe({SIGINT, SIGTERM}, QCoreApplication::instance());
    if (!interrupts->isWatching())
        return fail(NoAnswer, QStringLiteral("cannot catch Ctrl+C"));

    QEventLoop loop;
    connect(interrupts, &ORTVSignalPipe::caught, &loop, &QEventLoop::quit);

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
