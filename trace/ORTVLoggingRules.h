#pragma once

#include <QObject>
#include <QString>

// The logging rules of the file that QT_LOGGING_CONF names, read at start and read again when
// the process receives SIGHUP (`systemctl reload`), so the per-datagram lines can be turned on
// and off without a restart, which would empty the store.
//
// Qt reads that file only once, at start, and ranks its rules above any set later; so the
// file is taken over before the application object exists and its rules are set through
// QLoggingCategory::setFilterRules instead. QT_LOGGING_RULES, when set, still overrides them.
//
// A file that is missing, unreadable or not understood turns the debug lines off (with one
// warning naming it) rather than leaving Qt's default, which writes every one of them.
class ORTVLoggingRules : public QObject
{
    Q_OBJECT

public:
    // Call first in main: a SIGHUP that came before the handler is installed would end the
    // process. It stays pending until the handler is installed, then reloads the rules.
    static void holdHangups();
    // Call before the application object is constructed.
    static void takeOverConfigFile();

    // Applies the file's rules and reloads them on every SIGHUP, inside the event loop. One
    // object per process.
    explicit ORTVLoggingRules(QObject *parent = nullptr);

    QString filePath() const { return path; }
    // Reads the file again and applies it; false, a warning and the debug lines off when it
    // cannot be read or is not understood.
    bool apply();
    // Why the text cannot serve as the rules; empty when it can. Qt's parser would skip what
    // it does not understand line by line and leave everything else at its defaults.
    static QString problemWith(const QByteArray &content);

private slots:
    void hangupReceived();

private:
    QString path;
};
