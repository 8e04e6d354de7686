#include "ORTVStoreSaver.h"
#include "ORTVRunningDataCore.h"
#include "ORTVStoreFile.h"
#include "ORTVSignalPipe.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Bad files kept beside the store file, the newest first; older ones are removed.
constexpr int keptBadFiles = 3;

// What a saving child reports through its pipe.
struct ChildReport
{
    int error = 0;
    char step[32] = {};
};

QString savedAtText(const QDateTime &savedAt)
{
    return savedAt.toUTC().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) + QLatin1String(" UTC");
}

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

ORTVStoreSaver::ORTVStoreSaver(ORTVRunningDataCore *core, const QString &path,
                               int intervalSeconds, QObject *parent)
    : QObject(parent)
    , core(core)
    , filePath(QFileInfo(path).absoluteFilePath())
    , timer(new QTimer(this))
{
    timer->setInterval(intervalSeconds * 1000);
    connect(timer, &QTimer::timeout, this, &ORTVStoreSaver::startSave);
}

ORTVStoreSaver::~ORTVStoreSaver()
{
    stopChild();
}

ORTVStoreSaver *ORTVStoreSaver::fromEnvironment(ORTVRunningDataCore *core, QObject *parent)
{
    const QString path = qEnvironmentVariable("ORTV_STORE_FILE");
    if (path.isEmpty())
        return nullptr;
    int seconds = defaultIntervalSeconds;
    const QString setting = qEnvironmentVariable("ORTV_STORE_SAVE_SECONDS");
    if (!setting.isEmpty()) {
        bool ok = false;
        seconds = setting.toInt(&ok);
        if (!ok || seconds < 1 || seconds > 86400) {
            qWarning().noquote() << QStringLiteral("ORTV_STORE_SAVE_SECONDS=%1 is not a number "
                                                   "of seconds from 1 to 86400: saving every %2 s")
                                        .arg(setting)
                                        .arg(defaultIntervalSeconds);
            seconds = defaultIntervalSeconds;
        }
    }
    auto *saver = new ORTVStoreSaver(core, path, seconds, parent);
    saver->restore();
    if (saver->start()) {
        auto *stopSignals = new ORTVSignalPipe({SIGTERM, SIGINT}, saver);
        if (!stopSignals->isWatching())
            qWarning() << "Cannot watch for SIGTERM and SIGINT: no save when the server is stopped";
        connect(stopSignals, &ORTVSignalPipe::caught, saver, [saver](int signalNumber) {
            saver->finalSave();
            ORTVSignalPipe::endBySignal(signalNumber);
        });
    }
    return saver;
}

void ORTVStoreSaver::restore()
{
    ORTVStoreFile::Contents contents;
    QString error;
    bool missing = false;
    QString problem;
    if (!ORTVStoreFile::read(filePath, &contents, &error, &missing)) {
        if (!missing)
            problem = QStringLiteral("Store file %1 is unusable (%2), %3").arg(filePath, error,
                                                                            setAside(filePath));
        const QString backup = ORTVStoreFile::backupPath(filePath);
        QString backupError;
        if (!ORTVStoreFile::read(backup, &contents, &backupError, &missing)) {
            if (!missing)
                problem += (problem.isEmpty() ? QString() : QStringLiteral("; "))
                           + QStringLiteral("backup %1 is unusable (%2), %3")
                                 .arg(backup, backupError, setAside(backup));
            if (!problem.isEmpty())
                qWarning().noquote() << problem + QLatin1String(": starting empty");
            pruneSetAside();
            return;
        }
        if (!problem.isEmpty())
            qWarning().noquote() << problem + QLatin1String(": using the backup");
        pruneSetAside();
        restoreFrom(backup, contents);
        return;
    }
    restoreFrom(filePath, contents);
}

void ORTVStoreSaver::restoreFrom(const QString &path, const ORTVStoreFile::Contents &contents)
{
    core->restoreData(contents.store);
    savedChanges = core->changeCount();
    lastSave = contents.savedAt;
    qWarning().noquote() << QStringLiteral("Restored %1 values from %2 (saved %3)")
                                .arg(contents.store.size())
                                .arg(path, savedAtText(contents.savedAt));
}

bool ORTVStoreSaver::start()
{
    const QByteArray probe = QFile::encodeName(ORTVStoreFile::tempPath(filePath));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        qWarning().noquote() << QStringLiteral("Cannot write the store file %1 (%2): running "
                                               "without it, nothing is saved")
                                    .arg(filePath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::close(fd);
    ::unlink(probe.constData());
    timer->start();
    return true;
}

QString ORTVStoreSaver::setAside(const QString &badFile)
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'"));
    const QString aside = badFile + QLatin1String(".bad-") + stamp;
    if (::rename(QFile::encodeName(badFile).constData(), QFile::encodeName(aside).constData())
        != 0)
        return QStringLiteral("left in place (cannot rename it: %1)")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    return QStringLiteral("kept as ") + aside;
}

void ORTVStoreSaver::pruneSetAside()
{
    const QFileInfo info(filePath);
    QDir dir = info.absoluteDir();
    const QStringList bad = dir.entryList(
        {info.fileName() + QLatin1String(".bad-*"), info.fileName() + QLatin1String(".bak.bad-*")},
        QDir::Files, QDir::Time);
    for (qsizetype i = keptBadFiles; i < bad.size(); ++i)
        dir.remove(bad.at(i));
}

void ORTVStoreSaver::startSave()
{
    const quint64 changes = core->changeCount();
    if (childPid > 0 || changes == savedChanges)
        return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        finishSave(errno, QStringLiteral("pipe"), 0);
        return;
    }
    // The child must not run the parent's handlers (they write to the parent's pipes) before
    // it has reset them.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&blocked, signalNumber);
    ::sigprocmask(SIG_BLOCK, &blocked, &previous);
    const pid_t parent = ::getpid();
    childStartedMs = monotonicMs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A stop signals the whole group (systemd, Ctrl+C): the server ends this child itself
        // and saves in its own process.
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        // A child of a killed server must not write after a new server has started.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::close(fds[0]);
        ChildReport report;
        const char *step = "";
        report.error = ORTVStoreFile::write(
            QFile::encodeName(filePath),
            ORTVStoreFile::encode(core->getCoreData(), QDateTime::currentDateTimeUtc()), &step);
        qstrncpy(report.step, step, sizeof report.step);
        [[maybe_unused]] const ssize_t written = ::write(fds[1], &report, sizeof report);
        ::_exit(0);
    }
    const int forkError = errno;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        finishSave(forkError, QStringLiteral("fork"), 0);
        return;
    }
    childPid = pid;
    childPipe = fds[0];
    childChanges = changes;
    childNotifier = new QSocketNotifier(childPipe, QSocketNotifier::Read, this);
    connect(childNotifier, &QSocketNotifier::activated, this, &ORTVStoreSaver::childReported);
}

void ORTVStoreSaver::childReported()
{
    ChildReport report;
    const ssize_t got = ::read(childPipe, &report, sizeof report);
    stopChild();
    if (got != ssize_t(sizeof report)) {
        report.error = EIO;
        qstrncpy(report.step, "save (the saving process ended)", sizeof report.step);
    }
    if (report.error == 0)
        savedChanges = childChanges;
    finishSave(report.error, QString::fromLatin1(report.step), monotonicMs() - childStartedMs);
}

// Ends a running child, if any, and forgets it.
void ORTVStoreSaver::stopChild()
{
    if (childPid <= 0)
        return;
    delete childNotifier;
    childNotifier = nullptr;
    ::close(childPipe);
    childPipe = -1;
    ::kill(childPid, SIGKILL);
    int status = 0;
    while (::waitpid(childPid, &status, 0) < 0 && errno == EINTR) {
    }
    childPid = 0;
}

void ORTVStoreSaver::finalSave()
{
    emit finalSaveStarting();
    stopChild();
    const quint64 changes = core->changeCount();
    if (changes == savedChanges)
        return;
    const qint64 started = monotonicMs();
    const char *step = "";
    const int error = ORTVStoreFile::write(
        QFile::encodeName(filePath),
        ORTVStoreFile::encode(core->getCoreData(), QDateTime::currentDateTimeUtc()), &step);
    if (error == 0) {
        savedChanges = changes;
        finishSave(error, QString(), monotonicMs() - started);
        return;
    }
    // Said even in a run of failures: nothing will try again.
    ++failures;
    const QString since = lastSave.isValid()
        ? QStringLiteral("the last good save (%1)").arg(savedAtText(lastSave))
        : QStringLiteral("the start");
    qWarning().noquote() << QStringLiteral("The final save of the store to %1 failed (%2: %3): "
                                           "the changes since %4 are lost")
                                .arg(filePath, QString::fromLatin1(step),
                                     QString::fromLocal8Bit(std::strerror(error)), since);
}

void ORTVStoreSaver::finishSave(int error, const QString &step, qint64 durationMs)
{
    if (error == 0) {
        ++saves;
        lastSave = QDateTime::currentDateTimeUtc();
        lastDurationMs = durationMs;
        if (failing)
            qWarning().noquote() << "Store saved to" << filePath << "again";
        failing = false;
    } else {
        ++failures;
        // One line for a run of failures (a full disk fails every interval).
        if (!failing)
            qWarning().noquote() << QStringLiteral("Cannot save the store to %1 (%2: %3), "
                                                   "trying again")
                                        .arg(filePath, step,
                                             QString::fromLocal8Bit(std::strerror(error)));
        failing = true;
    }
    emit saveFinished(error == 0, durationMs);
}
