#include "ORTVEntityRules.h"
#include "ORTVKeyEntities.h"
#include "ORTVKeyGlobs.h"

#include <QTemporaryFile>
#include <QTest>

// How keys are chosen and what Home Assistant makes of them: the patterns of --match, --writable
// and the --entities file, the file itself, and which values count as numbers.
class tst_EntityRules : public QObject
{
    Q_OBJECT

private slots:
    void globs_data();
    void globs();
    void numbers_data();
    void numbers();
    void rules_data();
    void rules();
};

void tst_EntityRules::globs_data()
{
    QTest::addColumn<QString>("glob");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("matches");
    QTest::newRow("* crosses levels") << "hall/*" << "hall/a/temp" << true;
    QTest::newRow("* at the start") << "*temp" << "hall/temp" << true;
    QTest::newRow("whole key only") << "hall" << "hall/temp" << false;
    QTest::newRow("? is one character") << "t?" << "t12" << false;
    QTest::newRow("set") << "t[0-9]" << "t5" << true;
    QTest::newRow("negated set") << "t[!0-9]" << "t5" << false;
    QTest::newRow("] first in a set") << "[]x]" << "]" << true;
    QTest::newRow("unclosed [ is itself") << "a[b" << "a[b" << true;
    QTest::newRow("regex signs are themselves") << "a.b+(c)" << "axbb(c)" << false;
    QTest::newRow("regex signs match themselves") << "a.b+(c)|" << "a.b+(c)|" << true;
    QTest::newRow("non-ASCII and surrogate pairs") << "°C/*🌡" << "°C/x🌡" << true;
    QTest::newRow("newline in the key") << "a*" << "a\nb" << true;
}

void tst_EntityRules::globs()
{
    QFETCH(QString, glob);
    QFETCH(QString, key);
    QFETCH(bool, matches);
    QCOMPARE(ORTVKeyGlobs({glob}).matches(key), matches);
    // Among other patterns, any one that matches is enough.
    QCOMPARE(ORTVKeyGlobs({"nothing", glob}).matches(key), matches);
}

void tst_EntityRules::numbers_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("number");
    for (const char *yes : {"21.5", "-3", "1e3", "2.5E-4", "0", "007", ".5", "1."})
        QTest::newRow(yes) << yes << true;
    for (const char *no : {"", "NaN", "inf", "-", ".", "1e", "+1", " 1", "1 ", "0x10", "1e999",
                           "1,5", "21.5 °C"})
        QTest::newRow(qPrintable(QString("not '%1'").arg(no))) << no << false;
}

void tst_EntityRules::numbers()
{
    QFETCH(QString, value);
    QFETCH(bool, number);
    QCOMPARE(ORTVKeyEntities::isNumber(value), number);
}

// `describe` is what ruleFor("hall/temp") gives, or the error of the file.
void tst_EntityRules::rules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("describe");
    QTest::newRow("first match wins")
        << QByteArray("# units\n\nhall/*  unit=°C device_class=temperature writable\n"
                      "*  ignore\n")
        << "°C temperature  writable";
    QTest::newRow("no line matches") << QByteArray("other/* ignore\n") << "   ";
    QTest::newRow("state class") << QByteArray("*\tstate_class=total_increasing\n")
                                 << "  total_increasing ";
    QTest::newRow("unknown setting on line 2")
        << QByteArray("a unit=x\nhall/* colour=red\n") << ":2: cannot use \"colour=red\"";
    QTest::newRow("empty unit") << QByteArray("* unit=\n") << ":1: cannot use \"unit=\"";
    QTest::newRow("state class unknown") << QByteArray("* state_class=sum\n") << ":1: cannot use";
    QTest::newRow("device class not a name")
        << QByteArray("* device_class=Temp\n") << ":1: cannot use";
    QTest::newRow("flag with a value") << QByteArray("* writable=yes\n") << ":1: cannot use";
}

void tst_EntityRules::rules()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, describe);
    QTemporaryFile text;
    QVERIFY(text.open() && text.write(file) == file.size() && text.flush());
    ORTVEntityRules rules;
    if (describe.startsWith(':')) {
        QVERIFY(!rules.load(text.fileName()));
        QVERIFY2(rules.error.startsWith(text.fileName() + describe), qPrintable(rules.error));
        return;
    }
    QVERIFY2(rules.load(text.fileName()), qPrintable(rules.error));
    const ORTVEntityRules::Rule rule = rules.ruleFor("hall/temp");
    QCOMPARE(QStringList({rule.unit, rule.deviceClass, rule.stateClass,
                          rule.writable ? "writable" : rule.ignore ? "ignore" : ""}).join(' '),
             describe);
    // --writable adds to what the file says.
    rules.setWritable({"hall/t*"});
    QVERIFY(rules.ruleFor("hall/temp").writable);
    QVERIFY(!rules.ruleFor("other").writable);
}

QTEST_APPLESS_MAIN(tst_EntityRules)
#include "tst_entityrules.moc"
