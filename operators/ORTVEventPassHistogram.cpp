#include "ORTVEventPassHistogram.h"
#include "ORTVMetricsText.h"

void ORTVEventPassHistogram::record(qint64 ns)
{
    std::size_t bucket = 0;
    while (bucket < boundsNs.size() && ns > boundsNs[bucket])
        ++bucket;
    ++counts[bucket];
    sumNs += ns;
}

void ORTVEventPassHistogram::write(ORTVMetricsText &text) const
{
    static constexpr const char *bucketLabels[] = {
        "le=\"0.001\"", "le=\"0.0025\"", "le=\"0.005\"", "le=\"0.01\"", "le=\"0.025\"",
        "le=\"0.05\"",  "le=\"0.1\"",    "le=\"0.25\"",  "le=\"0.5\"",  "le=\"1\"", "le=\"+Inf\""};
    static_assert(std::size(bucketLabels) == boundsNs.size() + 1);
    const char *name = "ortv_event_pass_duration_seconds";
    text.family(name, "histogram",
                "Time one pass of the main loop spent handling events (the 10 ms sleep after "
                "it not counted).");
    quint64 cumulative = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        cumulative += counts[i];
        text.sample("ortv_event_pass_duration_seconds_bucket", bucketLabels[i], cumulative);
    }
    text.sample("ortv_event_pass_duration_seconds_sum", nullptr, double(sumNs) / 1e9);
    text.sample("ortv_event_pass_duration_seconds_count", nullptr, cumulative);
}
