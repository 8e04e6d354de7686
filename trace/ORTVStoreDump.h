#pragma once

#include "ORTVLogFormat.h"

#include <QHash>
#include <QString>

#include <vector>

// The store dump that the trace writes after each write, as `qDebug() << store` writes it. A
// large store changes by an entry or two between dumps: when it has as many keys as at the
// previous dump and only a few entries are not the same strings any more (same characters, held
// since), only those are rewritten in the previous dump's text.
class ORTVStoreDump
{
public:
    // The dump of store, in the line this object keeps.
    ORTVLogFormat &write(const QHash<QString, QString> &store);

private:
    struct Entry
    {
        // Copies of the dumped strings: holding them keeps their characters where they are and
        // unchanged (a shared QString detaches before any change), so the same address and
        // size later means the same text.
        QString key;
        QString value;
        qsizetype offset = 0;  // of ("key", "value") in the dump's text
        qsizetype length = 0;
    };
    struct Change
    {
        size_t index;
        const QString *key;
        const QString *value;
        qsizetype start;  // of the new text in the scratch line
        qsizetype length;
    };
    static constexpr size_t maxChanges = 16;

    void writeAfresh(const QHash<QString, QString> &store);
    bool patch(const QHash<QString, QString> &store);

    std::vector<Entry> entries;  // in the iteration order of the last dump
    std::vector<Change> changes;
    ORTVLogFormat line;     // the last dump's text, patched into the next one
    ORTVLogFormat scratch;  // the changed entries' new text
};
