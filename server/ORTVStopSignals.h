#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a signal inside the event loop, so the server can finish work
// (save its store) before it ends; endBySignal() then ends the process by the same signal with
// its default action, so systemd and shells see the status they always saw. One object per
// process; without it the signals keep their default action.
class ORTVStopSignals : public QObject
{
    Q_OBJECT

public:
    explicit ORTVStopSignals(QObject *parent = nullptr);
    ~ORTVStopSignals() override;

    [[noreturn]] static void endBySignal(int signalNumber);

signals:
    void stopRequested(int signalNumber);

private slots:
    void signalReceived();

private:
    static void onSignal(int signalNumber);

    QSocketNotifier *notifier = nullptr;
};
