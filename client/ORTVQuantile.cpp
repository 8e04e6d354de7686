#include "ORTVQuantile.h"

#include <algorithm>
#include <cmath>

double ORTVQuantile::of(const QList<double> &sorted, double q)
{
    const qsizetype n = sorted.size();
    if (q == 0.5 && n % 2 == 0)
        return (sorted.at(n / 2 - 1) + sorted.at(n / 2)) / 2;
    const qsizetype rank = qsizetype(std::ceil(q * double(n)));
    return sorted.at(std::clamp<qsizetype>(rank - 1, 0, n - 1));
}
