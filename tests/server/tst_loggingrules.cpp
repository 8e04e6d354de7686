#include "LogCapture.h"
#include "ORTVLoggingRules.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

// The rules file turns the default category's debug lines on or off; when it cannot be used
// they go off, with one warning that names the file.
class tst_LoggingRules : public QObject
{
    Q_OBJECT

private slots:
    void failsSafe_data();
    void failsSafe();
};

void tst_LoggingRules::failsSafe_data()
{
    QTest::addColumn<QString>("kind");  // "file", "missing" or "directory"
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("debugOn");

    QTest::newRow("trace on") << "file" << QByteArray("# comment\n[Rules]\ndefault.debug=true\n")
                              << true;
    QTest::newRow("missing") << "missing" << QByteArray() << false;
    QTest::newRow("unreadable (a directory)") << "directory" << QByteArray() << false;
    QTest::newRow("empty") << "file" << QByteArray() << false;
    QTest::newRow("no value") << "file" << QByteArray("[Rules]\ndefault.debug\n") << false;
    QTest::newRow("value not a boolean")
        << "file" << QByteArray("[Rules]\ndefault.debug=yes\n") << false;
    QTest::newRow("two equals signs")
        << "file" << QByteArray("[Rules]\ndefault.debug=true=false\n") << false;
    QTest::newRow("not UTF-8") << "file" << QByteArray("[Rules]\ndefault.debug=tr\xff" "ue\n")
                               << false;
}

void tst_LoggingRules::failsSafe()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, debugOn);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("logging.ini"));
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("logging.ini")));
    }
    // Start from the opposite of what is expected, so the file must change it.
    QLoggingCategory::setFilterRules(debugOn ? QStringLiteral("default.debug=false")
                                             : QStringLiteral("default.debug=true"));
    qputenv("QT_LOGGING_CONF", path.toLocal8Bit());
    ORTVLoggingRules::takeOverConfigFile();

    LogCapture log;
    ORTVLoggingRules rules;
    QCOMPARE(QLoggingCategory::defaultCategory()->isDebugEnabled(), debugOn);
    if (debugOn) {
        QCOMPARE(log.lines(), QStringList());
    } else {
        QCOMPARE(log.lines().size(), 1);
        QCOMPARE(log.types().first(), QtWarningMsg);
        QVERIFY2(log.lines().first().startsWith("Cannot use logging rules from " + path + " : "),
                 qPrintable(log.lines().first()));
    }
}

QTEST_GUILESS_MAIN(tst_LoggingRules)
#include "tst_loggingrules.moc"
