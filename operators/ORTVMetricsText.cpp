#include "ORTVMetricsText.h"

#include <QLocale>

void ORTVMetricsText::family(const char *name, const char *type, const char *help)
{
    out.append("# HELP ").append(name).append(' ').append(help).append('\n');
    out.append("# TYPE ").append(name).append(' ').append(type).append('\n');
}

void ORTVMetricsText::writeName(const char *name, const char *labels)
{
    out.append(name);
    if (labels)
        out.append('{').append(labels).append('}');
    out.append(' ');
}

void ORTVMetricsText::sample(const char *name, const char *labels, quint64 value)
{
    writeName(name, labels);
    out.append(QByteArray::number(value)).append('\n');
}

void ORTVMetricsText::sample(const char *name, const char *labels, double value)
{
    writeName(name, labels);
    // Shortest text that reads back as the same double.
    out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest)).append('\n');
}

void ORTVMetricsText::counter(const char *name, const char *help, quint64 value)
{
    family(name, "counter", help);
    sample(name, nullptr, value);
}

void ORTVMetricsText::gauge(const char *name, const char *help, double value)
{
    family(name, "gauge", help);
    sample(name, nullptr, value);
}
