#pragma once

#include <QByteArray>

// Writes metrics in the Prometheus text exposition format, version 0.0.4: a HELP and a TYPE
// line per family, then its samples, one a line.
class ORTVMetricsText
{
public:
    static constexpr const char *contentType = "text/plain; version=0.0.4; charset=utf-8";

    void family(const char *name, const char *type, const char *help);
    // labels is the text between the braces (name="value",...), or nullptr for none.
    void sample(const char *name, const char *labels, quint64 value);
    void sample(const char *name, const char *labels, double value);
    // A family of one sample without labels.
    void counter(const char *name, const char *help, quint64 value);
    void gauge(const char *name, const char *help, double value);

    const QByteArray &text() const { return out; }

private:
    void writeName(const char *name, const char *labels);

    QByteArray out;
};
