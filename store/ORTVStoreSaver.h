#pragma once

#include "ORTVStoreFile.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class ORTVRunningDataCore;
class QSocketNotifier;
class QTimer;

// Keeps a copy of the core's store in a file (ORTVStoreFile): restores it at start, saves it
// when it changed, at most once per interval, and once more before the process ends.
//
// A save forks: the child sees the store as it was at the fork (copy-on-write pages), writes
// and syncs the file and reports back through a pipe, while the server goes on serving. The
// server's own pass pays only for the fork (page tables, about a millisecond for a large store)
// instead of copying or serialising the store itself.
class ORTVStoreSaver : public QObject
{
    Q_OBJECT

public:
    ORTVStoreSaver(ORTVRunningDataCore *core, const QString &path, int intervalSeconds,
                   QObject *parent = nullptr);
    ~ORTVStoreSaver() override;

    // With ORTV_STORE_FILE set and not empty: a saver for that file (ORTV_STORE_SAVE_SECONDS
    // between saves), the store restored from it, saving, and a final save on SIGTERM and
    // SIGINT, after which the process ends by that signal. Otherwise nullptr, and nothing of
    // this happens.
    static ORTVStoreSaver *fromEnvironment(ORTVRunningDataCore *core, QObject *parent);
    static constexpr int defaultIntervalSeconds = 5;

    // Fills the core from the file, or its backup; sets a bad file aside. Never fails: at worst
    // the store starts empty.
    void restore();
    // Starts saving when the file's directory is writable; false (and a warning) when not.
    bool start();
    // The save before the process ends: at once, in this process, when the store changed since
    // the last save; a line saying what is lost when it fails.
    void finalSave();

    QString path() const { return filePath; }
    quint64 savesDone() const { return saves; }
    quint64 savesFailed() const { return failures; }
    // Of the last good save: by this process, or of the file the store was restored from.
    QDateTime lastSaveTime() const { return lastSave; }
    qint64 lastSaveDurationMs() const { return lastDurationMs; }

signals:
    void saveFinished(bool ok, qint64 durationMs);
    void finalSaveStarting();

private slots:
    void startSave();
    void childReported();

private:
    void restoreFrom(const QString &path, const ORTVStoreFile::Contents &contents);
    QString setAside(const QString &badFile);
    void pruneSetAside();
    void finishSave(int error, const QString &step, qint64 durationMs);
    void stopChild();

    ORTVRunningDataCore *core;
    QString filePath;
    QTimer *timer = nullptr;
    QSocketNotifier *childNotifier = nullptr;
    int childPipe = -1;
    int childPid = 0;
    qint64 childStartedMs = 0;
    quint64 savedChanges = 0;
    quint64 childChanges = 0;
    bool failing = false;
    quint64 saves = 0;
    quint64 failures = 0;
    QDateTime lastSave;
    qint64 lastDurationMs = 0;
};
