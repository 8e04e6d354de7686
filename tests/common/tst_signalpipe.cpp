// Unix signals turned into a Qt signal: each caught signal reaches the loop once, signals that
// came while the loop was busy count once each, and the default action comes back with the pipe.
#include "ORTVSignalPipe.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class tst_SignalPipe : public QObject
{
    Q_OBJECT

private slots:
    void caughtInTheLoop();
    void defaultActionBackAfterwards();
};

void tst_SignalPipe::caughtInTheLoop()
{
    ORTVSignalPipe pipe({SIGUSR1, SIGUSR2});
    QVERIFY(pipe.isWatching());
    QSignalSpy caught(&pipe, &ORTVSignalPipe::caught);
    // Three signals before the loop runs: one each, in the order they first came.
    ::raise(SIGUSR2);
    ::raise(SIGUSR1);
    ::raise(SIGUSR2);
    QVERIFY(caught.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(caught.size(), 2, 5000 * TEST_TIME_SCALE);
    QCOMPARE(caught.at(0).at(0).toInt(), SIGUSR2);
    QCOMPARE(caught.at(1).at(0).toInt(), SIGUSR1);
    ::raise(SIGUSR1);
    QTRY_COMPARE_WITH_TIMEOUT(caught.size(), 3, 5000 * TEST_TIME_SCALE);
    QCOMPARE(caught.at(2).at(0).toInt(), SIGUSR1);
}

void tst_SignalPipe::defaultActionBackAfterwards()
{
    { ORTVSignalPipe pipe({SIGUSR1}); }
    struct sigaction action = {};
    QCOMPARE(::sigaction(SIGUSR1, nullptr, &action), 0);
    QVERIFY(action.sa_handler == SIG_DFL);
}

QTEST_GUILESS_MAIN(tst_SignalPipe)
#include "tst_signalpipe.moc"
