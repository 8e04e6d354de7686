#include "ORTVPublishQueue.h"

#include <QTest>

// The bridge's queue to the broker: one message per topic, in the order topics first came.
class tst_PublishQueue : public QObject
{
    Q_OBJECT

private slots:
    void coalesces();
};

void tst_PublishQueue::coalesces()
{
    ORTVPublishQueue queue;
    for (const auto &[topic, payload] : {std::pair{"a", "1"}, {"b", "1"}, {"a", "2"}, {"c", "1"}})
        queue.put(topic, payload, 1);
    QStringList taken;
    while (!queue.isEmpty()) {
        const ORTVPublishQueue::Message message = queue.take();
        taken.append(message.topic + QLatin1Char('=') + QString::fromUtf8(message.payload));
        // A topic taken and put again goes behind what waits.
        if (taken.size() == 1)
            queue.put("a", "3", 1);
    }
    QCOMPARE(taken, (QStringList{"a=2", "b=1", "c=1", "a=3"}));
}

QTEST_APPLESS_MAIN(tst_PublishQueue)
#include "tst_publishqueue.moc"
