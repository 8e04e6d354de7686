#pragma once

#include <QObject>

#include <optional>

class QSocketNotifier;

// The Qt event loop's watch on a socket that a C library reads and writes itself: readable is
// told always, writable only while asked for (while the library has something to send).
class ORTVSocketWatch : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    void watch(int fd);
    // Before the library closes the socket: its number may be reused at once.
    void unwatch();
    bool isWatching() const { return readNotifier != nullptr; }
    void setWantWrite(bool want);

    // Whether bytes wait in the socket's receive buffer.
    static bool hasInput(int fd);
    // The error of a non-blocking connect on `fd` that failed; none while it has not.
    static std::optional<int> connectError(int fd);

signals:
    void readable();
    void writable();

private:
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
};
