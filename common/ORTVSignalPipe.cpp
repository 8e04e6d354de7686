#include "ORTVSignalPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The writing end of the pipe that watches each signal, plus one (zero: none), so that the
// array starts out empty; all the handler reads.
volatile sig_atomic_t writeEndOf[NSIG];

bool inRange(int signalNumber)
{
    return signalNumber > 0 && signalNumber < NSIG;
}

void setMask(int how, const QList<int> &signalNumbers)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : signalNumbers)
        sigaddset(&set, signalNumber);
    ::pthread_sigmask(how, &set, nullptr);
}

} // namespace

ORTVSignalPipe::ORTVSignalPipe(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , watched(signalNumbers)
{
    for (const int signalNumber : std::as_const(watched))
        Q_ASSERT(inRange(signalNumber));
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets) != 0) {
        watched.clear();
        return;
    }
    notifier = new QSocketNotifier(sockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ORTVSignalPipe::readPipe);
    struct sigaction action = {};
    action.sa_handler = &ORTVSignalPipe::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : std::as_const(watched)) {
        writeEndOf[signalNumber] = sockets[0] + 1;
        ::sigaction(signalNumber, &action, nullptr);
    }
    setMask(SIG_UNBLOCK, watched);
}

ORTVSignalPipe::~ORTVSignalPipe()
{
    if (!notifier)
        return;
    for (const int signalNumber : std::as_const(watched)) {
        ::signal(signalNumber, SIG_DFL);
        writeEndOf[signalNumber] = 0;
    }
    ::close(sockets[0]);
    ::close(sockets[1]);
}

void ORTVSignalPipe::holdSignals(std::initializer_list<int> signalNumbers)
{
    setMask(SIG_BLOCK, signalNumbers);
}

void ORTVSignalPipe::onSignal(int signalNumber)
{
    const int saved = errno;
    const int fd = writeEndOf[signalNumber] - 1;
    const char byte = char(signalNumber);
    // A full pipe already holds a wake-up for the loop; this one is dropped.
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

void ORTVSignalPipe::readPipe()
{
    // Signals that came while the loop was busy count once each, like a pending signal.
    QList<int> arrived;
    char bytes[64];
    ssize_t count;
    while ((count = ::read(sockets[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (!arrived.contains(int(bytes[i])))
                arrived.append(int(bytes[i]));
        }
    }
    for (const int signalNumber : std::as_const(arrived))
        emit caught(signalNumber);
}

void ORTVSignalPipe::endBySignal(int signalNumber)
{
    ::signal(signalNumber, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signalNumber);
    std::_Exit(128 + signalNumber); // not reached: the default action ends the process
}
