#pragma once

#include <QtGlobal>

#include <cstdlib>
#include <cstdio>

// The code under test writes a log line for every datagram; formatting still runs, but the
// lines go nowhere so the fuzzer spends its time on the input.
inline void silenceMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// A broken invariant is a finding: stop so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__,       \
                         __LINE__);                                                             \
            std::abort();                                                                       \
        }                                                                                       \
    } while (false)
