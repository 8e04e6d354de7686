#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

// The store file's format, and how it is read and written. Layout (all integers little-endian):
//
//   offset  size  field
//        0     8  magic "ORTVSTOR"
//        8     4  format version, 1
//       12     4  reserved, 0
//       16     8  save time, milliseconds since 1970-01-01 UTC (signed)
//       24     8  number of records
//       32     8  length of the records in bytes
//       40    32  SHA-256 of bytes 0..39 followed by the records
//       72     .  the records, each a key then its value, each string as
//                 a 32-bit length in UTF-16 code units, whose top bit says how the units follow:
//                 clear, one byte each (every unit below 0x100); set, two bytes each.
//
// The file ends exactly after the records. Strings are stored as the server holds them (UTF-16
// code units, lone surrogates included), so every key and value comes back byte for byte.
class ORTVStoreFile
{
public:
    using Store = QHash<QString, QString>;

    struct Contents
    {
        Store store;
        QDateTime savedAt;
    };

    static QByteArray encode(const Store &store, const QDateTime &savedAt);
    // False, with the reason in *error, for anything that is not a whole file of this format.
    static bool decode(const QByteArray &bytes, Contents *contents, QString *error);

    // Reads and decodes PATH. False with the reason; *missing says the file does not exist.
    static bool read(const QString &path, Contents *contents, QString *error, bool *missing);

    // Replaces PATH with BYTES so that a crash or power cut leaves either the old file or the new
    // one: BYTES go to PATH.tmp, which is synced and renamed over PATH; the file it replaces is
    // kept as PATH.bak; then the directory is synced. Plain system calls, so that each sync and
    // rename happens in this order and a failure names its step (QSaveFile keeps no backup and
    // syncs no directory). Returns 0, or the errno of the step that failed (*step names it).
    static int write(const QByteArray &path, const QByteArray &bytes, const char **step);

    static QString tempPath(const QString &path) { return path + QLatin1String(".tmp"); }
    static QString backupPath(const QString &path) { return path + QLatin1String(".bak"); }

    static constexpr int headerSize = 72;
};
