#include "ORTVSetDatagrams.h"

QList<ORTVSetDatagrams::Entries> ORTVSetDatagrams::split(const Entries &entries, Entries *tooLarge,
                                                         qsizetype limit)
{
    // A compact JSON array is "[" + its elements joined by "," + "]", and each element is written
    // the same whatever its neighbours: the size of a part is the sum of its elements' sizes.
    QList<Entries> parts;
    Entries part;
    qsizetype partSize = 2;
    for (const ORTVDataClient::Entry &entry : entries) {
        const qsizetype size = ORTVDataClient::writeRequest({entry}, false).size() - 2;
        if (size + 2 > limit) {
            if (tooLarge)
                tooLarge->append(entry);
            continue;
        }
        const qsizetype separator = part.isEmpty() ? 0 : 1;
        if (partSize + separator + size > limit) {
            parts.append(part);
            part.clear();
            partSize = 2;
        }
        partSize += (part.isEmpty() ? 0 : 1) + size;
        part.append(entry);
    }
    if (!part.isEmpty())
        parts.append(part);
    return parts;
}
