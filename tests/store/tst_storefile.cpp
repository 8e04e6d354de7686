// The store file of the real server (ORTV_STORE_FILE): what it restores, what it does with bad
// files and unwritable places, and the save it makes before it ends.
#include "ORTVStoreFile.h"
#include "ServerProcess.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

const int waitMs = 10000 * TEST_TIME_SCALE;

// Keys and values the file must hold byte for byte: JSON escapes reach the store as NUL, lone
// surrogates and other text outside Latin-1.
const QList<QByteArray> trickyCommands = {
    R"({"cmd":"SetData","url":"","data":"empty key"})",
    R"({"cmd":"SetData","url":"nul\u0000key","data":"a\u0000b"})",
    R"({"cmd":"SetData","url":"lone\ud800","data":"\udfff\ud83d\ude00\u00ff"})",
    R"({"cmd":"SetData","url":"empty value","data":""})",
    R"({"cmd":"SetData","url":"number","data":1234567})",
};

QByteArray readCommand(const QByteArray &setCommand)
{
    QByteArray read = setCommand;
    read.replace("SetData", "ReadData");
    return read;
}

class StoreServer : public ServerProcess
{
public:
    StoreServer(const QString &file, int seconds = 3600)
    {
        QProcessEnvironment environment = process.processEnvironment();
        environment.insert(QStringLiteral("ORTV_STORE_FILE"), file);
        environment.insert(QStringLiteral("ORTV_STORE_SAVE_SECONDS"), QString::number(seconds));
        process.setProcessEnvironment(environment);
    }
    // The reply to one command, from a fresh socket.
    QByteArray ask(const QByteArray &command)
    {
        QUdpSocket socket;
        socket.bind(QHostAddress::LocalHost, 0);
        socket.writeDatagram(command, QHostAddress::LocalHost, 1234);
        // Waits in the event loop, which reads the server's log: a full pipe would stop it.
        if (!QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, waitMs))
            return {};
        return socket.receiveDatagram().data();
    }
    bool endsBy(int signalNumber)
    {
        ::kill(pid_t(process.processId()), signalNumber);
        return process.waitForFinished(waitMs) && process.exitStatus() == QProcess::CrashExit
            && process.exitCode() == signalNumber;
    }
    QStringList warnings()
    {
        QStringList lines;
        for (const QByteArray &line : err().split('\n')) {
            if (!line.startsWith("RX") && !line.startsWith("TX") && !line.startsWith("New Peer")
                && !line.startsWith("ORTVUDPTransceiver started") && !line.startsWith("QHash("))
                lines.append(QString::fromUtf8(line));
        }
        lines.removeAll(QString());
        return lines;
    }
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

class tst_StoreFile : public QObject
{
    Q_OBJECT

private slots:
    void restoresByteForByte();
    void savesWhileRunning();
    void badFileFallsBack_data();
    void badFileFallsBack();
    void unwritablePlace();
    void failedFinalSaveSaid();

private:
    QTemporaryDir dir;
    QString file() const { return dir.filePath(QStringLiteral("store")); }
};

// Saved once, on SIGTERM (the interval is an hour), and every value read back unchanged after
// a restart; the process still ends by SIGTERM.
void tst_StoreFile::restoresByteForByte()
{
    QList<QByteArray> commands = trickyCommands;
    commands.append(R"({"cmd":"SetData","url":"64k","data":")" + QByteArray(65000, 'x') + "\"}");
    QList<QByteArray> replies;
    {
        StoreServer server(file());
        QVERIFY(server.start(waitMs));
        for (const QByteArray &command : commands) {
            QUdpSocket().writeDatagram(command, QHostAddress::LocalHost, 1234);
            replies.append(server.ask(readCommand(command)));
            QVERIFY(replies.last().startsWith("{\"data\":\""));
        }
        QVERIFY(!QFile::exists(file()));
        QVERIFY(server.endsBy(SIGTERM));
        QCOMPARE(server.warnings(), QStringList());
    }
    StoreServer server(file());
    QVERIFY(server.start(waitMs));
    for (qsizetype i = 0; i < commands.size(); ++i)
        QCOMPARE(server.ask(readCommand(commands.at(i))), replies.at(i));
    const QStringList warnings = server.warnings();
    QCOMPARE(warnings.size(), 1);
    const QString restored =
        QStringLiteral("Restored %1 values from %2 (saved ").arg(commands.size()).arg(file());
    QVERIFY2(warnings.first().startsWith(restored), qPrintable(warnings.first()));
    // Nothing changed: the file stays as it is, and SIGINT ends the server too.
    const QDateTime written = QFileInfo(file()).lastModified();
    QVERIFY(server.endsBy(SIGINT));
    QCOMPARE(QFileInfo(file()).lastModified(), written);
}

// A change is saved within the interval, so a server killed by SIGKILL after it comes back with
// it; the file it replaced is kept as the backup.
void tst_StoreFile::savesWhileRunning()
{
    QFile::remove(file());
    {
        StoreServer server(file(), 1);
        QVERIFY(server.start(waitMs));
        server.ask(R"({"cmd":"SetDataReadData","url":"k","data":"first"})");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(file()); }, waitMs));
        server.ask(R"({"cmd":"SetDataReadData","url":"k","data":"second"})");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(file() + ".bak"); }, waitMs));
        server.stop();
    }
    StoreServer server(file());
    QVERIFY(server.start(waitMs));
    QCOMPARE(server.ask(R"({"cmd":"ReadData","url":"k"})"),
             QByteArray(R"({"data":"second","url":"k"})"));
}

void tst_StoreFile::badFileFallsBack_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<bool>("withBackup");
    QTest::addColumn<QString>("reason");
    ORTVStoreFile::Store store{{QStringLiteral("k"), QStringLiteral("bad file")}};
    const QByteArray good = ORTVStoreFile::encode(store, QDateTime::currentDateTimeUtc());
    QByteArray flipped = good;
    flipped[flipped.size() - 1] = 'y';
    QTest::newRow("torn") << good.left(good.size() - 3) << true << "records, the header says";
    QTest::newRow("header only") << good.left(50) << true << "cut short in the header";
    QTest::newRow("NUL bytes") << QByteArray(good.size(), '\0') << true << "not a store file";
    QTest::newRow("checksum") << flipped << true << "checksum does not match";
    QTest::newRow("not ours") << QByteArray("[Rules]\n") << true << "not a store file";
    QTest::newRow("empty, no backup") << QByteArray() << false << "empty file";
}

// The bad file is set aside (its bytes kept), the backup restored, or the store starts empty;
// one warning says so, and the server runs.
void tst_StoreFile::badFileFallsBack()
{
    QFETCH(QByteArray, bad);
    QFETCH(bool, withBackup);
    QFETCH(QString, reason);
    QTemporaryDir place;
    const QString path = place.filePath(QStringLiteral("store"));
    writeFile(path, bad);
    ORTVStoreFile::Store backup{{QStringLiteral("k"), QStringLiteral("from backup")}};
    if (withBackup)
        writeFile(path + ".bak", ORTVStoreFile::encode(backup, QDateTime::currentDateTimeUtc()));
    StoreServer server(path);
    QVERIFY(server.start(waitMs));
    const QStringList warnings = server.warnings();
    QCOMPARE(warnings.size(), withBackup ? 2 : 1);
    QVERIFY2(warnings.first().startsWith(QStringLiteral("Store file %1 is unusable (").arg(path)),
             qPrintable(warnings.first()));
    QVERIFY2(warnings.first().contains(reason), qPrintable(warnings.first()));
    QVERIFY(warnings.first().endsWith(withBackup ? ": using the backup" : ": starting empty"));
    QCOMPARE(server.ask(R"({"cmd":"ReadData","url":"k"})"),
             withBackup ? QByteArray(R"({"data":"from backup","url":"k"})")
                        : QByteArray(R"({"data":"","url":"k"})"));
    const QStringList aside = QDir(place.path()).entryList({QStringLiteral("store.bad-*")});
    QCOMPARE(aside.size(), 1);
    QFile kept(place.filePath(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), bad);
}

void tst_StoreFile::unwritablePlace()
{
    const QString path = dir.filePath(QStringLiteral("missing/store"));
    StoreServer server(path);
    QVERIFY(server.start(waitMs));
    QCOMPARE(server.warnings(),
             QStringList(QStringLiteral("Cannot write the store file %1 (No such file or "
                                        "directory): running without it, nothing is saved")
                             .arg(path)));
    QCOMPARE(server.ask(R"({"cmd":"SetDataReadData","url":"k","data":"v"})"),
             QByteArray(R"({"data":"v","url":"k"})"));
}

// A final save that cannot write (its temporary file's place is taken by a directory, as a full
// disk would fail it) says what is lost, since when, and the process still ends by its signal.
void tst_StoreFile::failedFinalSaveSaid()
{
    QFile::remove(file());
    QFile::remove(file() + ".bak");
    QString savedAt;
    {
        StoreServer server(file());
        QVERIFY(server.start(waitMs));
        server.ask(R"({"cmd":"SetDataReadData","url":"k","data":"kept"})");
        QVERIFY(server.endsBy(SIGTERM));
        ORTVStoreFile::Contents contents;
        QString error;
        bool missing = false;
        QVERIFY2(ORTVStoreFile::read(file(), &contents, &error, &missing), qPrintable(error));
        savedAt = contents.savedAt.toUTC().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    }
    StoreServer server(file());
    QVERIFY(server.start(waitMs));
    server.ask(R"({"cmd":"SetDataReadData","url":"k","data":"lost"})");
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("store.tmp/taken")));
    QVERIFY(server.endsBy(SIGTERM));
    QVERIFY(QDir(file() + ".tmp").removeRecursively());
    QCOMPARE(server.warnings().last(),
             QStringLiteral("The final save of the store to %1 failed (create: Is a directory): "
                            "the changes since the last good save (%2 UTC) are lost")
                 .arg(file(), savedAt));
}

QTEST_GUILESS_MAIN(tst_StoreFile)
#include "tst_storefile.moc"
