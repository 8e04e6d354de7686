#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns Unix signals into a Qt signal inside the event loop. The handler only writes the
// signal's number to a socket pair, the one thing it may safely do; the loop reads it from the
// other end and emits caught(). While the object lives, its signals lose their default action;
// its destructor gives it back. One object per signal at a time.
class ORTVSignalPipe : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers and unblocks the signals (a signal held with holdSignals() until now
    // is then delivered). When the pipe cannot be made, nothing is installed, the signals stay
    // as they were and isWatching() is false: the caller says what that costs.
    ORTVSignalPipe(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~ORTVSignalPipe() override;

    bool isWatching() const { return notifier != nullptr; }

    // Keeps the signals pending (blocked) until a pipe for them is made: call first in main for
    // a signal whose default action would end the process before then.
    static void holdSignals(std::initializer_list<int> signalNumbers);
    // Ends the process by the signal with its default action, so that systemd and shells see
    // the status they would have seen without the pipe.
    [[noreturn]] static void endBySignal(int signalNumber);

signals:
    void caught(int signalNumber);

private slots:
    void readPipe();

private:
    static void onSignal(int signalNumber);

    QList<int> watched;
    int sockets[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};
