#pragma once

class ORTVMetricsText;

// The standard process_* metrics of a Prometheus client, read from the kernel when asked.
class ORTVProcessFigures
{
public:
    static void write(ORTVMetricsText &text);
};
