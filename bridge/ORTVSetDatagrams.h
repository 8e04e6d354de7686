#pragma once

#include "ORTVDataClient.h"

#include <QList>

// Splits the writes of one pass into as few SetData datagrams as fit: each part's request is at
// most the largest UDP payload. An entry too large for a datagram of its own is left out and
// listed in `tooLarge`.
class ORTVSetDatagrams
{
public:
    using Entries = QList<ORTVDataClient::Entry>;

    static QList<Entries> split(const Entries &entries, Entries *tooLarge = nullptr,
                                qsizetype limit = ORTVDataClient::maxDatagramBytes);
};
