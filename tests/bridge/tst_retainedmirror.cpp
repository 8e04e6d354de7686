#include "ORTVHomeAssistant.h"
#include "ORTVRetainedMirror.h"

#include <QTest>

// What the bridge publishes for a read of /Data after another, and after a connect to a broker
// that holds some of it.
class tst_RetainedMirror : public QObject
{
    Q_OBJECT

private slots:
    void update_data();
    void update();
    void reconcile_data();
    void reconcile();
};

namespace {

using Values = ORTVHttpReader::Values;

// "topic=payload", "topic=" for a clear, "topic=entry" for a discovery entry.
QStringList described(const ORTVRetainedMirror::Operations &operations)
{
    QStringList out;
    for (const auto &[topic, payload] : operations) {
        const bool entry = topic.startsWith(QLatin1String("homeassistant/")) && !payload.isEmpty();
        out.append(topic + QLatin1Char('=') + (entry ? QStringLiteral("entry") : QString::fromUtf8(payload)));
    }
    return out;
}

QString ha(const QString &key, const char *what = "entry")
{
    return ORTVHomeAssistant::configTopic(QStringLiteral("node"), key) + QLatin1Char('=') + what;
}

// A key's discovery entry, for a numeric value, as the broker holds it.
QString heldEntry(const QString &key)
{
    const ORTVKeyEntities::Entry entry = ORTVKeyEntities("p", "node").entries(key, true).first();
    return entry.topic + '=' + entry.config;
}

ORTVKeyEntities entities(bool homeAssistant)
{
    return ORTVKeyEntities("p", homeAssistant ? "node" : "");
}

} // namespace

void tst_RetainedMirror::update_data()
{
    QTest::addColumn<Values>("first");
    QTest::addColumn<bool>("brokerLost");
    QTest::addColumn<bool>("homeAssistant");
    QTest::addColumn<Values>("second");
    QTest::addColumn<QStringList>("expected");
    const Values ab{{"a", "1"}, {"b/c", "2"}};
    QTest::newRow("nothing changed") << ab << false << false << ab << QStringList{};
    QTest::newRow("one changed") << ab << false << false << Values{{"a", "1"}, {"b/c", "3"}}
                                 << QStringList{"p/data/b/c=3"};
    QTest::newRow("new key") << ab << false << false << Values{{"+", "x"}, {"a", "1"}, {"b/c", "2"}}
                             << QStringList{"p/data/%2B=x"};
    // Vanished keys are cleared before anything of the new read is published.
    QTest::newRow("server restarted") << ab << false << false << Values{{"z", "9"}}
                                      << QStringList{"p/data/a=", "p/data/b/c=", "p/data/z=9"};
    QTest::newRow("broker forgotten") << ab << true << false << ab
                                      << QStringList{"p/data/a=1", "p/data/b/c=2"};
    QTest::newRow("empty store") << ab << false << false << Values{}
                                 << QStringList{"p/data/a=", "p/data/b/c="};
    QTest::newRow("HA: new key announced, changed one not")
        << ab << false << true << Values{{"a", "5"}, {"b/c", "2"}, {"d", "4"}}
        << QStringList{"p/data/a=5", "p/data/d=4", ha("d")};
    QTest::newRow("HA: vanished key's entry removed")
        << ab << false << true << Values{{"a", "1"}}
        << QStringList{"p/data/b/c=", ha("b/c", "")};
    QTest::newRow("HA: all announced again after a broker loss")
        << ab << true << true << ab
        << QStringList{"p/data/a=1", ha("a"), "p/data/b/c=2", ha("b/c")};
}

void tst_RetainedMirror::update()
{
    QFETCH(Values, first);
    QFETCH(bool, brokerLost);
    QFETCH(bool, homeAssistant);
    QFETCH(Values, second);
    QFETCH(QStringList, expected);
    ORTVRetainedMirror mirror(QStringLiteral("p"), entities(homeAssistant));
    QCOMPARE(mirror.update(first).size(), first.size() * (homeAssistant ? 2 : 1));
    // A broker that may have lost everything gets it again, then what the read changed.
    QStringList operations = brokerLost ? described(mirror.republish()) : QStringList{};
    QCOMPARE(operations + described(mirror.update(second)), expected);
    // Published once: the same read again changes nothing.
    QCOMPARE(described(mirror.update(second)), QStringList{});
}

// What a broker that holds `broker` ("topic=payload") gets after the mirror read `earlier`
// and then `latest` (both while that was collected).
void tst_RetainedMirror::reconcile_data()
{
    QTest::addColumn<bool>("homeAssistant");
    QTest::addColumn<Values>("earlier");
    QTest::addColumn<Values>("latest");
    QTest::addColumn<QStringList>("broker");
    QTest::addColumn<QStringList>("expected");
    const Values ab{{"a", "1"}, {"b/c", "2"}};
    const QStringList held{"p/data/a=1", "p/data/b/c=2"};
    QTest::newRow("holds it all") << false << ab << ab << held << QStringList{};
    QTest::newRow("holds nothing") << false << ab << ab << QStringList{} << held;
    QTest::newRow("older value, vanished key, other topics")
        << false << ab << ab
        << QStringList{"p/data/a=0", "p/data/b/c=2", "p/data/gone=x", "p/server=up", "q/data/z=1"}
        << QStringList{"p/data/gone=", "p/data/a=1"};
    QTest::newRow("empty value, foreign spelling, no key")
        << false << Values{{"+", "x"}, {"e", ""}} << Values{{"+", "x"}, {"e", ""}}
        << QStringList{"p/data/%2b=x", "p/data/%zz=1", "p/data/e=old"}
        << QStringList{"p/data/%2b=", "p/data/%zz=", "p/data/e=", "p/data/%2B=x"};
    // Reads during the collection count, the latest of each key: no value rolls back.
    QTest::newRow("changed while collected")
        << false << ab << Values{{"a", "3"}, {"d", "4"}} << held
        << QStringList{"p/data/b/c=", "p/data/a=3", "p/data/d=4"};
    QTest::newRow("HA: entries lacking, vanished, not the keys'")
        << true << ab << ab
        << QStringList{"p/data/a=1", "p/data/b/c=2", heldEntry("a"), ha("gone"),
                       "homeassistant/sensor/node/metrics_rate/config=m",
                       "homeassistant/sensor/other/" + ha("a").section('/', 3)}
        << QStringList{ha("gone", ""), ha("b/c")};
    QTest::newRow("HA: entry differs")
        << true << ab << ab << held + QStringList{heldEntry("b/c"), ha("a", "old")}
                                       << QStringList{ha("a")};
}

void tst_RetainedMirror::reconcile()
{
    QFETCH(bool, homeAssistant);
    QFETCH(Values, earlier);
    QFETCH(Values, latest);
    QFETCH(QStringList, broker);
    QFETCH(QStringList, expected);
    ORTVRetainedMirror mirror("p", entities(homeAssistant));
    QVERIFY(!mirror.knowsServer());
    mirror.update(earlier);
    mirror.update(latest);
    QHash<QString, QByteArray> holds;
    for (const QString &line : std::as_const(broker))
        holds.insert(line.section('=', 0, 0), line.section('=', 1).toUtf8());
    QCOMPARE(described(mirror.reconcile(holds)), expected);
}

QTEST_APPLESS_MAIN(tst_RetainedMirror)
#include "tst_retainedmirror.moc"
