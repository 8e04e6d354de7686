#include "ORTVStopSignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler writes the signal's number here; the event loop reads it from the other end.
int stopPipe[2] = {-1, -1};
constexpr int handledSignals[] = {SIGTERM, SIGINT};

} // namespace

ORTVStopSignals::ORTVStopSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, stopPipe) != 0) {
        qWarning() << "Cannot watch for SIGTERM and SIGINT: no save when the server is stopped";
        return;
    }
    notifier = new QSocketNotifier(stopPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ORTVStopSignals::signalReceived);
    struct sigaction action = {};
    action.sa_handler = &ORTVStopSignals::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : handledSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

ORTVStopSignals::~ORTVStopSignals()
{
    if (notifier) {
        for (const int signalNumber : handledSignals)
            ::signal(signalNumber, SIG_DFL);
        ::close(stopPipe[0]);
        ::close(stopPipe[1]);
        stopPipe[0] = stopPipe[1] = -1;
    }
}

void ORTVStopSignals::onSignal(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[0], &byte, 1);
    errno = saved;
}

void ORTVStopSignals::signalReceived()
{
    char byte = 0;
    if (::read(stopPipe[1], &byte, 1) == 1)
        emit stopRequested(byte);
}

void ORTVStopSignals::endBySignal(int signalNumber)
{
    ::signal(signalNumber, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signalNumber);
    std::_Exit(128 + signalNumber); // not reached: the default action ends the process
}
