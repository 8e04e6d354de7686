#pragma once

#include "ORTVHttpReader.h"
#include "ORTVKeyGlobs.h"

#include <QHash>
#include <QString>

// The keys the bridge carries (--match): every key without patterns, else those a pattern
// matches. Each key is matched once and the answer kept, so a read of /Data costs one lookup per
// key; answers for keys the server no longer holds are dropped when they outgrow the store.
class ORTVKeySelection
{
public:
    explicit ORTVKeySelection(const QStringList &globs = {});

    bool selectsAll() const { return globs.isEmpty(); }
    bool selects(const QString &key);
    // The values of the selected keys, in their order.
    ORTVHttpReader::Values selected(const ORTVHttpReader::Values &values);

private:
    ORTVKeyGlobs globs;
    QHash<QString, bool> decided;
};
