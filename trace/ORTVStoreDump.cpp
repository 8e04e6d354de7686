#include "ORTVStoreDump.h"
#include "ORTVDebugQuoting.h"

#include <cstring>

using ORTVDebugQuoting::putEntry;

ORTVLogFormat &ORTVStoreDump::write(const QHash<QString, QString> &store)
{
    if (!patch(store)) {
        line.clear();
        writeAfresh(store);
    }
    return line;
}

// The whole dump, escaped afresh, recording where each entry's text is.
void ORTVStoreDump::writeAfresh(const QHash<QString, QString> &store)
{
    entries.resize(size_t(store.size()));
    line.appendRaw(QLatin1StringView("QHash("));
    auto entry = entries.begin();
    for (auto it = store.cbegin(); it != store.cend(); ++it, ++entry) {
        const QStringView k(it.key());
        const QStringView v(it.value());
        entry->key = it.key();
        entry->value = it.value();
        entry->offset = line.used;
        line.setEnd(putEntry(line.reserve(6 * (k.size() + v.size()) + 8), k, v));
        entry->length = line.used - entry->offset;
    }
    line.appendRaw(QLatin1StringView(")"));
}

// Rewrites the entries that changed since the last dump in its text. False when that is not
// worth it or not possible: the caller then writes the dump afresh.
bool ORTVStoreDump::patch(const QHash<QString, QString> &store)
{
    if (line.used == 0 || entries.size() != size_t(store.size()))
        return false;
    changes.clear();
    scratch.clear();
    size_t i = 0;
    for (auto it = store.cbegin(); it != store.cend(); ++it, ++i) {
        const Entry &entry = entries[i];
        const QString &key = it.key();
        const QString &value = it.value();
        if (entry.key.constData() == key.constData() && entry.key.size() == key.size()
            && entry.value.constData() == value.constData()
            && entry.value.size() == value.size())
            continue;
        if (changes.size() == maxChanges)
            return false;
        const QStringView k(key);
        const QStringView v(value);
        const qsizetype start = scratch.used;
        scratch.setEnd(putEntry(scratch.reserve(6 * (k.size() + v.size()) + 8), k, v));
        changes.push_back({i, &key, &value, start, scratch.used - start});
    }

    qsizetype growth = 0;
    for (const Change &change : changes)
        growth += qMax<qsizetype>(0, change.length - entries[change.index].length);
    // Writable room for the grown text (a copy if a message handler kept the last one).
    if (line.used + growth > line.buffer.size() || !line.buffer.isDetached()) {
        line.room = qMax(line.room, line.used + growth);
        line.buffer.resize(line.room);
    }
    char16_t *const base = reinterpret_cast<char16_t *>(line.buffer.data());
    line.base = base;

    // From the last change to the first, so the text before each one is still where it was.
    const char16_t *const fresh = scratch.base;
    for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
        const Entry &entry = entries[change->index];
        const qsizetype tail = entry.offset + entry.length;
        std::memmove(base + entry.offset + change->length, base + tail,
                     size_t(line.used - tail) * sizeof(char16_t));
        std::memcpy(base + entry.offset, fresh + change->start,
                    size_t(change->length) * sizeof(char16_t));
        line.used += change->length - entry.length;
    }
    // Then the entries' records: new strings, lengths, and offsets moved by earlier changes.
    qsizetype shift = 0;
    auto change = changes.begin();
    for (size_t j = changes.empty() ? entries.size() : changes.front().index; j < entries.size();
         ++j) {
        Entry &entry = entries[j];
        entry.offset += shift;
        if (change != changes.end() && change->index == j) {
            shift += change->length - entry.length;
            entry.key = *change->key;
            entry.value = *change->value;
            entry.length = change->length;
            ++change;
        }
    }
    return true;
}
