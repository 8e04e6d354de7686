#pragma once

#include <QtGlobal>

// What the data core counted since it started, for the metrics listener: plain integers bumped
// as each command object is handled.
struct ORTVCoreCounters
{
    quint64 setData = 0;
    quint64 readData = 0;
    // Datagrams that were not JSON.
    quint64 parseErrors = 0;
    // Array elements that were no object, and objects that neither stored nor asked anything.
    quint64 ignoredObjects = 0;
};
