#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Captures every message of this process's message channel as one line each, for as long as
// the object lives. Only one capture may be active at a time.
class LogCapture
{
public:
    LogCapture() { previous = qInstallMessageHandler(&LogCapture::handler); }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        clear();
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const { return captured(); }
    QList<QtMsgType> types() const { return capturedTypes(); }
    void clear()
    {
        captured().clear();
        capturedTypes().clear();
    }

private:
    static QStringList &captured()
    {
        static QStringList lines;
        return lines;
    }
    static QList<QtMsgType> &capturedTypes()
    {
        static QList<QtMsgType> types;
        return types;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        captured().append(message);
        capturedTypes().append(type);
    }

    QtMessageHandler previous = nullptr;
};
