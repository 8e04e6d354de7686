#include "ORTVEntityRules.h"
#include "ORTVKeyEntities.h"

#include <QTemporaryFile>
#include <QTest>

// The key patterns of --match, --writable and the --entities file, the file itself, and which
// values Home Assistant gets as numbers.
class tst_EntityRules : public QObject
{
    Q_OBJECT

private slots:
    void globs_data();
    void globs();
    void numbers();
    void rules_data();
    void rules();
};

void tst_EntityRules::globs_data()
{
    QTest::addColumn<QString>("glob");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("matches");
    QTest::newRow("* crosses levels") << "*/temp" << "hall/a/temp" << true;
    QTest::newRow("whole key only") << "hall" << "hall/temp" << false;
    QTest::newRow("? is one character") << "t?" << "t12" << false;
    QTest::newRow("sets") << "t[0-9][!0-9][]]" << "t5x]" << true;
    QTest::newRow("unclosed [ is itself") << "a[b" << "a[b" << true;
    QTest::newRow("regex signs are themselves") << "a.b+(c)|" << "axbb(c)" << false;
    QTest::newRow("non-ASCII, surrogate pairs, newline") << "°C/*🌡" << "°C/\n🌡" << true;
}

void tst_EntityRules::globs()
{
    QFETCH(QString, glob);
    QFETCH(QString, key);
    QFETCH(bool, matches);
    // Among others: any one that matches is enough.
    QCOMPARE(ORTVKeyGlobs({"nothing", glob}).matches(key), matches);
}

void tst_EntityRules::numbers()
{
    for (const char *yes : {"21.5", "-3", "1e3", "2.5E-4", "007", ".5", "1."})
        QVERIFY2(ORTVKeyEntities::isNumber(QString(yes)), yes);
    for (const char *no : {"", "NaN", "inf", "-", ".", "1e", "+1", " 1", "0x10", "1e999", "1,5"})
        QVERIFY2(!ORTVKeyEntities::isNumber(QString(no)), no);
}

// `describe` is what ruleFor("hall/temp") gives, or where and why the file is refused.
void tst_EntityRules::rules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("describe");
    QTest::newRow("first match wins")
        << QByteArray("# units\n\nhall/*  unit=°C device_class=temperature\t"
                      "state_class=total writable\n*  ignore\n")
        << "°C temperature total writable";
    QTest::newRow("unknown setting on line 2")
        << QByteArray("a unit=x\nhall/* colour=red\n") << ":2: cannot use \"colour=red\"";
    QTest::newRow("empty unit") << QByteArray("* unit= writable\n") << ":1: cannot use \"unit=\"";
    QTest::newRow("classes") << QByteArray("* device_class=Temp state_class=x\n") << ":1: cannot";
    QTest::newRow("flag with a value") << QByteArray("* writable=yes\n") << ":1: cannot use";
}

void tst_EntityRules::rules()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, describe);
    QTemporaryFile text;
    QVERIFY(text.open() && text.write(file) == file.size() && text.flush());
    ORTVEntityRules rules;
    QCOMPARE(rules.load(text.fileName()), !describe.startsWith(':'));
    if (!rules.error.isEmpty()) {
        QVERIFY2(rules.error.startsWith(text.fileName() + describe), qPrintable(rules.error));
        return;
    }
    const ORTVEntityRules::Rule rule = rules.ruleFor("hall/temp");
    QCOMPARE(QStringList({rule.unit, rule.deviceClass, rule.stateClass,
                          rule.writable ? "writable" : ""}).join(' '), describe);
    QVERIFY(rules.ruleFor("other").ignore);
}

QTEST_APPLESS_MAIN(tst_EntityRules)
#include "tst_entityrules.moc"
