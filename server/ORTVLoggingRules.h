#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// The logging rules of the file that QT_LOGGING_CONF names, read at start and read again when
// the process receives SIGHUP (`systemctl reload`), so the per-datagram lines can be turned on
// and off without a restart, which would empty the store.
//
// Qt reads that file only once, at start, and ranks its rules above any set later; so the
// file is taken over before the application object exists and its rules are set through
// QLoggingCategory::setFilterRules instead. QT_LOGGING_RULES, when set, still overrides them.
class ORTVLoggingRules : public QObject
{
    Q_OBJECT

public:
    // Call before the application object is constructed.
    static void takeOverConfigFile();

    // Applies the file's rules and reloads them on every SIGHUP, inside the event loop. One
    // object per process.
    explicit ORTVLoggingRules(QObject *parent = nullptr);
    ~ORTVLoggingRules() override;

    QString filePath() const { return path; }
    // Reads the file again and applies it; false (and a warning) when it cannot be read.
    bool apply();

private slots:
    void hangupReceived();

private:
    static void onHangup(int);

    QString path;
    QSocketNotifier *notifier = nullptr;
};
