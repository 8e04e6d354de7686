#include "ORTVKeySelection.h"

ORTVKeySelection::ORTVKeySelection(const QStringList &globs) : globs(globs)
{
}

bool ORTVKeySelection::selects(const QString &key)
{
    if (selectsAll())
        return true;
    auto known = decided.constFind(key);
    if (known == decided.constEnd())
        known = decided.insert(key, globs.matches(key));
    return *known;
}

ORTVHttpReader::Values ORTVKeySelection::selected(const ORTVHttpReader::Values &values)
{
    if (selectsAll())
        return values;
    // Keys come and go (a server restarted with other keys): forget what no read holds any more.
    if (decided.size() > 2 * values.size() + 1024)
        decided.clear();
    ORTVHttpReader::Values out;
    for (const auto &entry : values) {
        if (selects(entry.first))
            out.append(entry);
    }
    return out;
}
