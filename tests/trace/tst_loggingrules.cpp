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
    QTest::newRow("not a rule") << "file" << QByteArray("[Rules]\ndefault.debug=yes\n") << false;
    QTest::newRow("not UTF-8") << "file" << QByteArray("[Rules]\ndefault.debug=tr\xff" "ue\n")
                               << false;
}

void tst_LoggingRules::failsSafe()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, debugOn);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("logging.ini"));
    QFile file(path);
    if (kind == QLatin1String("file"))
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("logging.ini")));
    // From the opposite of what is expected: the file must change it.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=") + (debugOn ? "false" : "true"));
    qputenv("QT_LOGGING_CONF", path.toLocal8Bit());
    ORTVLoggingRules::takeOverConfigFile();

    LogCapture log;
    ORTVLoggingRules rules;
    QCOMPARE(QLoggingCategory::defaultCategory()->isDebugEnabled(), debugOn);
    QCOMPARE(log.lines().size(), debugOn ? 0 : 1);
    if (!debugOn) {
        QCOMPARE(log.types().first(), QtWarningMsg);
        QVERIFY(log.lines().first().startsWith("Cannot use logging rules from " + path + " : "));
    }
}

QTEST_GUILESS_MAIN(tst_LoggingRules)
#include "tst_loggingrules.moc"
