#pragma once

#include <QList>

namespace ORTVQuantile {

// The value at fraction q of the sorted samples (nearest rank); the median of an even count is
// the mean of the two middle ones. The samples must not be empty.
double of(const QList<double> &sorted, double q);

} // namespace ORTVQuantile
