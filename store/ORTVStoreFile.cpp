#include "ORTVStoreFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char magic[8] = {'O', 'R', 'T', 'V', 'S', 'T', 'O', 'R'};
constexpr quint32 formatVersion = 1;
constexpr quint32 wideFlag = 0x80000000u;
constexpr int hashOffset = 40;
constexpr int hashSize = 32;

template <typename T>
void put(char *at, T value)
{
    qToLittleEndian(value, at);
}

template <typename T>
T get(const char *at)
{
    return qFromLittleEndian<T>(at);
}

bool fitsOneByte(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x100)
            return false;
    }
    return true;
}

void appendString(QByteArray &out, const QString &text)
{
    const bool narrow = fitsOneByte(text);
    const auto units = quint32(text.size());
    char length[4];
    put<quint32>(length, narrow ? units : (units | wideFlag));
    out.append(length, 4);
    const qsizetype at = out.size();
    if (narrow) {
        out.resize(at + units);
        char *to = out.data() + at;
        for (const QChar c : text)
            *to++ = char(c.unicode());
    } else {
        out.resize(at + 2 * qsizetype(units));
        qToLittleEndian<quint16>(text.utf16(), units, out.data() + at);
    }
}

// Reads one string at *at; false when it would run past END.
bool takeString(const char *&at, const char *end, QString *text)
{
    if (end - at < 4)
        return false;
    const quint32 field = get<quint32>(at);
    at += 4;
    const quint32 units = field & ~wideFlag;
    const bool wide = field & wideFlag;
    const qint64 bytes = wide ? 2 * qint64(units) : qint64(units);
    if (end - at < bytes)
        return false;
    if (wide) {
        text->resize(units);
        qFromLittleEndian<quint16>(at, units, text->data());
    } else {
        *text = QString::fromLatin1(at, units);
    }
    at += bytes;
    return true;
}

QByteArray checksum(const QByteArray &bytes)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(bytes.constData(), hashOffset));
    hash.addData(QByteArrayView(bytes.constData() + ORTVStoreFile::headerSize,
                                bytes.size() - ORTVStoreFile::headerSize));
    return hash.result();
}

// write(2) until all is written.
bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

QByteArray ORTVStoreFile::encode(const Store &store, const QDateTime &savedAt)
{
    QByteArray out(headerSize, '\0');
    for (auto it = store.cbegin(); it != store.cend(); ++it) {
        appendString(out, it.key());
        appendString(out, it.value());
    }
    char *head = out.data();
    std::memcpy(head, magic, sizeof magic);
    put<quint32>(head + 8, formatVersion);
    put<qint64>(head + 16, savedAt.toMSecsSinceEpoch());
    put<quint64>(head + 24, quint64(store.size()));
    put<quint64>(head + 32, quint64(out.size() - headerSize));
    const QByteArray sum = checksum(out);
    std::memcpy(out.data() + hashOffset, sum.constData(), hashSize);
    return out;
}

bool ORTVStoreFile::decode(const QByteArray &bytes, Contents *contents, QString *error)
{
    const char *head = bytes.constData();
    if (bytes.isEmpty()) {
        *error = QStringLiteral("empty file");
        return false;
    }
    if (std::memcmp(head, magic, qMin(bytes.size(), qsizetype(sizeof magic))) != 0) {
        *error = QStringLiteral("not a store file");
        return false;
    }
    if (bytes.size() < headerSize) {
        *error = QStringLiteral("cut short in the header, %1 bytes").arg(bytes.size());
        return false;
    }
    if (get<quint32>(head + 8) != formatVersion) {
        *error = QStringLiteral("unknown format version %1").arg(get<quint32>(head + 8));
        return false;
    }
    const quint64 length = get<quint64>(head + 32);
    if (length != quint64(bytes.size() - headerSize)) {
        *error = QStringLiteral("%1 bytes of records, the header says %2")
                     .arg(bytes.size() - headerSize)
                     .arg(length);
        return false;
    }
    if (std::memcmp(checksum(bytes).constData(), head + hashOffset, hashSize) != 0) {
        *error = QStringLiteral("checksum does not match");
        return false;
    }
    const quint64 count = get<quint64>(head + 24);
    Store store;
    // Each record takes at least 8 bytes; a larger count is caught below, not reserved.
    store.reserve(qsizetype(qMin<quint64>(count, length / 8)));
    const char *at = head + headerSize;
    const char *end = head + bytes.size();
    QString key;
    QString value;
    for (quint64 i = 0; i < count; ++i) {
        if (!takeString(at, end, &key) || !takeString(at, end, &value)) {
            *error = QStringLiteral("record %1 of %2 runs past the end").arg(i + 1).arg(count);
            return false;
        }
        store.insert(key, value);
    }
    if (at != end || quint64(store.size()) != count) {
        *error = QStringLiteral("records do not match the count %1").arg(count);
        return false;
    }
    contents->store = std::move(store);
    contents->savedAt = QDateTime::fromMSecsSinceEpoch(get<qint64>(head + 16)).toUTC();
    return true;
}

bool ORTVStoreFile::read(const QString &path, Contents *contents, QString *error, bool *missing)
{
    QFile file(path);
    *missing = !file.exists();
    if (*missing)
        return false;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    return decode(file.readAll(), contents, error);
}

int ORTVStoreFile::write(const QByteArray &path, const QByteArray &bytes, const char **step)
{
    const QByteArray temp = path + ".tmp";
    const QByteArray backup = path + ".bak";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *step = "create";
        return errno;
    }
    if (!writeAll(fd, bytes.constData(), bytes.size()) || ::fsync(fd) != 0) {
        const int failure = errno;
        ::close(fd);
        ::unlink(temp.constData());
        *step = "write";
        return failure;
    }
    ::close(fd);
    // The file being replaced becomes the backup. A hard link keeps PATH in place meanwhile;
    // where the file system has none, a rename leaves a moment without PATH, covered by the
    // fallback to PATH.bak when reading.
    if (::access(path.constData(), F_OK) == 0) {
        ::unlink(backup.constData());
        if (::link(path.constData(), backup.constData()) != 0
            && ::rename(path.constData(), backup.constData()) != 0) {
            *step = "keep the backup";
            return errno;
        }
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        *step = "rename";
        return errno;
    }
    QByteArray dir = path.left(path.lastIndexOf('/') + 1);
    if (dir.isEmpty())
        dir = ".";
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) {
        const int failure = errno;
        if (dirFd >= 0)
            ::close(dirFd);
        *step = "sync the directory";
        return failure;
    }
    ::close(dirFd);
    return 0;
}
