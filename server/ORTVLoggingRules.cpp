#include "ORTVLoggingRules.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The one file this process reads its rules from; set before the application object exists.
QString &configFile()
{
    static QString path;
    return path;
}

// The signal handler only writes a byte here; the event loop reads it from the other end.
int hangupPipe[2] = {-1, -1};

} // namespace

void ORTVLoggingRules::takeOverConfigFile()
{
    configFile() = qEnvironmentVariable("QT_LOGGING_CONF");
    qunsetenv("QT_LOGGING_CONF");
}

ORTVLoggingRules::ORTVLoggingRules(QObject *parent)
    : QObject(parent)
    , path(configFile())
{
    if (!path.isEmpty())
        apply();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, hangupPipe) != 0) {
        qWarning() << "Cannot watch for SIGHUP: logging rules are read at start only";
        return;
    }
    notifier = new QSocketNotifier(hangupPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ORTVLoggingRules::hangupReceived);
    struct sigaction action = {};
    action.sa_handler = &ORTVLoggingRules::onHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &action, nullptr);
}

ORTVLoggingRules::~ORTVLoggingRules()
{
    if (notifier) {
        ::signal(SIGHUP, SIG_DFL);
        ::close(hangupPipe[0]);
        ::close(hangupPipe[1]);
        hangupPipe[0] = hangupPipe[1] = -1;
    }
}

void ORTVLoggingRules::onHangup(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = ::write(hangupPipe[0], &byte, 1);
    errno = saved;
}

void ORTVLoggingRules::hangupReceived()
{
    char bytes[64];
    while (::read(hangupPipe[1], bytes, sizeof bytes) > 0) {
    }
    if (path.isEmpty()) {
        qWarning() << "SIGHUP: no logging rules file to reload (QT_LOGGING_CONF is not set)";
        return;
    }
    if (apply())
        qInfo().noquote() << "Logging rules reloaded from" << path;
}

bool ORTVLoggingRules::apply()
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning().noquote() << "Cannot read logging rules from" << path << ":"
                             << file.errorString();
        return false;
    }
    // Qt's rule parser takes the file's [Rules] section as it stands.
    QLoggingCategory::setFilterRules(QString::fromUtf8(file.readAll()));
    return true;
}
