#pragma once

#include <QtGlobal>

// Requests answered on the HTTP port, by route ("other" answered 404), and connections the
// connection guards closed, by reason. Plain integers: the route handlers bump them.
struct ORTVHttpCounters
{
    quint64 root = 0;
    quint64 status = 0;
    quint64 data = 0;
    quint64 other = 0;
    quint64 closedIdle = 0;
    quint64 closedOversized = 0;
};
