#include "ORTVHomeAssistant.h"
#include "ORTVPublishQueue.h"
#include "ORTVRetainedMirror.h"

#include <QTest>

// What the bridge publishes for a read of /Data after another, and how its queue to the broker
// keeps one message per topic.
class tst_RetainedMirror : public QObject
{
    Q_OBJECT

private slots:
    void update_data();
    void update();
    void queueCoalesces();
};

namespace {

using Values = ORTVHttpReader::Values;
const QString node = QStringLiteral("node");

// "topic=payload" for each operation, "topic=" for a clear; "HA:KEY" for a key's discovery
// entry and "HA:KEY=" for its removal.
QStringList described(const ORTVRetainedMirror::Operations &operations, const Values &keys)
{
    QStringList out;
    for (const auto &operation : operations) {
        QString topic = operation.topic;
        for (const auto &entry : keys) {
            if (topic == ORTVHomeAssistant::configTopic(node, entry.first))
                topic = QLatin1String("HA:") + entry.first;
        }
        if (topic.startsWith(QLatin1String("HA:")) && !operation.payload.isEmpty())
            out.append(topic);
        else
            out.append(topic + QLatin1Char('=') + QString::fromUtf8(operation.payload));
    }
    return out;
}

} // namespace

void tst_RetainedMirror::update_data()
{
    QTest::addColumn<Values>("first");
    QTest::addColumn<bool>("forget");
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
        << QStringList{"p/data/a=5", "p/data/d=4", "HA:d"};
    QTest::newRow("HA: vanished key's entry removed")
        << ab << false << true << Values{{"a", "1"}}
        << QStringList{"p/data/b/c=", "HA:b/c="};
    QTest::newRow("HA: all announced again after forget")
        << ab << true << true << ab
        << QStringList{"p/data/a=1", "HA:a", "p/data/b/c=2", "HA:b/c"};
}

void tst_RetainedMirror::update()
{
    QFETCH(Values, first);
    QFETCH(bool, forget);
    QFETCH(bool, homeAssistant);
    QFETCH(Values, second);
    QFETCH(QStringList, expected);
    ORTVRetainedMirror mirror(QStringLiteral("p"), homeAssistant ? node : QString());
    const Values allKeys = first + second;
    QStringList initial;
    for (const auto &[key, value] : first) {
        initial.append(mirror.dataTopic(key) + QLatin1Char('=') + value);
        if (homeAssistant)
            initial.append(QLatin1String("HA:") + key);
    }
    QCOMPARE(described(mirror.update(first), allKeys), initial);
    if (forget)
        mirror.forget();
    QCOMPARE(described(mirror.update(second), allKeys), expected);
    // Published once: the same read again changes nothing.
    QCOMPARE(described(mirror.update(second), allKeys), QStringList{});
}

void tst_RetainedMirror::queueCoalesces()
{
    ORTVPublishQueue queue;
    queue.put("a", "1", 1);
    queue.put("b", "1", 1);
    queue.put("a", "2", 0);
    QCOMPARE(queue.size(), 2);
    ORTVPublishQueue::Message first = queue.take();
    QCOMPARE(first.topic, QStringLiteral("a"));
    QCOMPARE(first.payload, QByteArray("2"));
    QCOMPARE(first.qos, 0);
    // A topic taken and put again goes to the back, behind what waits.
    queue.put("a", "3", 1);
    queue.put("b", "2", 1);
    QCOMPARE(queue.take().payload, QByteArray("2"));
    QCOMPARE(queue.take().payload, QByteArray("3"));
    QVERIFY(queue.isEmpty());
    queue.put("c", "1", 1);
    queue.clear();
    queue.put("d", "1", 1);
    queue.put("d", "2", 1);
    QCOMPARE(queue.size(), 1);
    QCOMPARE(queue.take().payload, QByteArray("2"));
}

QTEST_APPLESS_MAIN(tst_RetainedMirror)
#include "tst_retainedmirror.moc"
