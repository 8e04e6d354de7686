#include "ORTVUDPSocketFigures.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <sys/stat.h>

namespace {

// A line of /proc/net/udp: "sl local rem st tx_queue:rx_queue tr:when retrnsmt uid timeout
// inode ref pointer drops", the queues in hexadecimal.
bool readLine(const QByteArray &line, const QByteArray &inode, ORTVUDPSocketFigures &figures)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 13 || fields.at(9) != inode)
        return false;
    const QByteArray queues = fields.at(4);
    figures.receiveQueueBytes = queues.mid(queues.indexOf(':') + 1).toULongLong(nullptr, 16);
    figures.drops = fields.last().toULongLong();
    figures.found = true;
    return true;
}

} // namespace

ORTVUDPSocketFigures ORTVUDPSocketFigures::of(qintptr descriptor)
{
    ORTVUDPSocketFigures figures;
    struct stat status {};
    if (descriptor < 0 || fstat(int(descriptor), &status) != 0)
        return figures;
    const QByteArray inode = QByteArray::number(quint64(status.st_ino));
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // the column titles
        while (!file.atEnd()) {
            if (readLine(file.readLine(), inode, figures))
                return figures;
        }
    }
    return figures;
}
