#pragma once

#include <QtGlobal>

#include <array>

class ORTVMetricsText;

// Durations of the main loop's event passes, in the buckets of a Prometheus histogram (1 ms
// to 1 s). Recording is a few comparisons and two additions.
class ORTVEventPassHistogram
{
public:
    static constexpr std::array<qint64, 10> boundsNs = {
        1000000, 2500000, 5000000, 10000000, 25000000,
        50000000, 100000000, 250000000, 500000000, 1000000000};

    void record(qint64 ns);
    void write(ORTVMetricsText &text) const;

private:
    // counts[i]: passes no longer than boundsNs[i] and longer than the bound before;
    // the last one: longer than every bound.
    std::array<quint64, boundsNs.size() + 1> counts = {};
    qint64 sumNs = 0;
};
