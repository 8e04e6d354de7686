#pragma once

#include <QEventLoop>
#include <QObject>

#include <optional>

// Runs a nested event loop until an object reports how what it was asked to do ended: the
// commands of ortv wait for each request before they go on.
class ORTVWait
{
public:
    // Until `sender` emits `done` or `failed`: the argument of `done`, or nothing after
    // `failed`, whose argument then goes to `failure`. The request must already be started.
    template <typename Sender, typename Result, typename Failure>
    static std::optional<Result> forOutcome(Sender *sender, void (Sender::*done)(const Result &),
                                            void (Sender::*failed)(const Failure &),
                                            Failure &failure)
    {
        QEventLoop loop;
        std::optional<Result> result;
        QObject::connect(sender, done, &loop, [&](const Result &value) {
            result = value;
            loop.quit();
        });
        QObject::connect(sender, failed, &loop, [&](const Failure &why) {
            failure = why;
            loop.quit();
        });
        loop.exec();
        return result;
    }
};
