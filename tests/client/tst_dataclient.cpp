// ORTVDataClient against a scripted server socket on a port the system picks: how replies are
// matched to the urls asked, what is asked again, and what is not an answer. Also what it reads
// in a keep-alive frame and how it splits writes into datagrams.
#include "ORTVDataClient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimeZone>
#include <QUdpSocket>

namespace {

QByteArray reply(const char *url, const char *data)
{
    return QByteArray(R"({"data":")") + data + R"(","url":")" + url + "\"}";
}

const QByteArray keepAlive = R"([{"data":1,"url":"com.orvane.xcvr.keep.alive"},)"
                             R"({"data":"08.12.2026 04:31:05.042","url":"com.orvane.date.utc"}])";

// Whether a datagram waits in the receive queue of this machine's IPv4 UDP socket on `port`,
// read from the kernel's socket table without touching the socket.
bool datagramWaits(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        // sl local_address rem_address st tx_queue:rx_queue ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields.at(1).endsWith(local))
            return fields.at(4).split(':').value(1).toLongLong(nullptr, 16) > 0;
    }
    return false;
}

} // namespace

class tst_DataClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void replies_data();
    void replies();
    void lateRepliesDropped_data();
    void lateRepliesDropped();
    void givesUpAfterRetries_data();
    void givesUpAfterRetries();
    void keepAliveTime_data();
    void keepAliveTime();
    void splitWrites_data();
    void splitWrites();

private:
    // Waits for the client's next request, running the event loop meanwhile, and returns it.
    bool requestArrives(int timeoutMs)
    {
        return QTest::qWaitFor([&] { return server.hasPendingDatagrams(); }, timeoutMs);
    }
    QByteArray nextRequest()
    {
        if (!requestArrives(2000))
            return {};
        const QNetworkDatagram request = server.receiveDatagram();
        clientPort = quint16(request.senderPort());
        return request.data();
    }
    void answer(const QList<QByteArray> &payloads)
    {
        // "stranger:" marks a payload sent from another socket, which is not the server.
        for (const QByteArray &payload : payloads) {
            QUdpSocket &from = payload.startsWith("stranger:") ? stranger : server;
            from.writeDatagram(QByteArray(payload).replace("stranger:", ""),
                               QHostAddress::LocalHost, clientPort);
        }
    }

    QUdpSocket server;
    QUdpSocket stranger;
    quint16 clientPort = 0;
};

void tst_DataClient::init()
{
    for (QUdpSocket *socket : {&server, &stranger}) {
        socket->close();
        QVERIFY2(socket->bind(QHostAddress::LocalHost, 0), qPrintable(socket->errorString()));
    }
}

void tst_DataClient::replies_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<QList<QByteArray>>("firstAnswers");
    QTest::addColumn<QList<QByteArray>>("secondAnswers");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QStringList>("values");

    const QByteArray readAB = R"([{"cmd":"ReadData","url":"a"},{"cmd":"ReadData","url":"b"}])";
    QTest::newRow("in order") << false << QStringList{"a", "b"}
                              << QList<QByteArray>{reply("a", "1"), reply("b", "2")}
                              << QList<QByteArray>{} << QList<QByteArray>{readAB}
                              << QStringList{"1", "2"};
    QTest::newRow("out of order, a url twice")
        << false << QStringList{"a", "b", "a"}
        << QList<QByteArray>{reply("b", "2"), reply("a", "1"), reply("a", "3")}
        << QList<QByteArray>{}
        << QList<QByteArray>{R"([{"cmd":"ReadData","url":"a"},{"cmd":"ReadData","url":"b"},)"
                             R"({"cmd":"ReadData","url":"a"}])"}
        << QStringList{"1", "2", "3"};
    QTest::newRow("strays ignored")
        << false << QStringList{"a"}
        << QList<QByteArray>{keepAlive, "not json", reply("x", "9"), R"({"url":"a"})",
                             "stranger:" + reply("a", "stray"), reply("a", "1")}
        << QList<QByteArray>{} << QList<QByteArray>{R"([{"cmd":"ReadData","url":"a"}])"}
        << QStringList{"1"};
    QTest::newRow("lost reply asked again")
        << false << QStringList{"a", "b"} << QList<QByteArray>{reply("b", "2")}
        << QList<QByteArray>{reply("a", "1")}
        << QList<QByteArray>{readAB, R"([{"cmd":"ReadData","url":"a"}])"}
        << QStringList{"1", "2"};
    QTest::newRow("write: lost reply stored and asked again")
        << true << QStringList{"a", "b"} << QList<QByteArray>{reply("a", "va")}
        << QList<QByteArray>{reply("b", "vb")}
        << QList<QByteArray>{R"([{"cmd":"SetData","data":"va","url":"a"},)"
                             R"({"cmd":"SetData","data":"vb","url":"b"},)"
                             R"({"cmd":"ReadData","url":"a"},{"cmd":"ReadData","url":"b"}])",
                             R"([{"cmd":"SetData","data":"vb","url":"b"},)"
                             R"({"cmd":"ReadData","url":"b"}])"}
        << QStringList{"va", "vb"};
}

void tst_DataClient::replies()
{
    QFETCH(bool, write);
    QFETCH(QStringList, urls);
    QFETCH(QList<QByteArray>, firstAnswers);
    QFETCH(QList<QByteArray>, secondAnswers);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QStringList, values);

    ORTVDataClient client;
    client.setServer(QHostAddress::LocalHost, server.localPort());
    client.setTimeout(500);
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    QSignalSpy finished(&client, &ORTVDataClient::finished);
    QSignalSpy failed(&client, &ORTVDataClient::failed);

    QList<ORTVDataClient::Entry> entries;
    for (const QString &url : urls)
        entries.append({url, QJsonValue("v" + url)});
    QVERIFY(write ? client.write(entries) : client.read(urls));
    QCOMPARE(nextRequest(), requests.value(0));
    answer(firstAnswers);
    if (requests.size() > 1) {
        QCOMPARE(nextRequest(), requests.value(1));
        answer(secondAnswers);
    }
    QVERIFY(finished.wait(2000));
    QCOMPARE(finished.takeFirst().at(0).toStringList(), values);
    QVERIFY(failed.isEmpty());
    QVERIFY(!client.isBusy());
    // Nothing is asked again once every reply is in (the timeout is 500 ms).
    QVERIFY(!requestArrives(700));
}

void tst_DataClient::lateRepliesDropped_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<QList<QByteArray>>("waiting"); // on the client's socket before it asks
    QTest::addColumn<int>("keepAlives");

    QTest::newRow("read") << false << QList<QByteArray>{reply("a", "old")} << 0;
    QTest::newRow("write") << true << QList<QByteArray>{reply("a", "old")} << 0;
    QTest::newRow("keep-alive still reported")
        << false << QList<QByteArray>{reply("a", "old"), keepAlive} << 1;
}

// What waits on the socket when a request starts answered an earlier one (the source port is
// reused), and replies carry only their url.
void tst_DataClient::lateRepliesDropped()
{
    QFETCH(bool, write);
    QFETCH(QList<QByteArray>, waiting);
    QFETCH(int, keepAlives);

    ORTVDataClient client;
    client.setServer(QHostAddress::LocalHost, server.localPort());
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    QSignalSpy finished(&client, &ORTVDataClient::finished);
    QSignalSpy keepAlive(&client, &ORTVDataClient::keepAliveReceived);
    clientPort = client.localPort();
    answer(waiting);
    // Loopback queues a datagram as it is sent; no event loop runs until the request is out.
    const QDeadlineTimer deadline(2000);
    while (!datagramWaits(clientPort) && !deadline.hasExpired())
        QThread::msleep(1);
    QVERIFY(datagramWaits(clientPort));

    QVERIFY(write ? client.write({{"a", QJsonValue("new")}}) : client.read({"a"}));
    QVERIFY(!nextRequest().isEmpty());
    answer({reply("a", "new")});
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.takeFirst().at(0).toStringList(), QStringList{"new"});
    QCOMPARE(keepAlive.size(), keepAlives);
}

void tst_DataClient::givesUpAfterRetries_data()
{
    QTest::addColumn<int>("retries");
    QTest::newRow("no retry") << 0;
    QTest::newRow("two retries") << 2;
}

void tst_DataClient::givesUpAfterRetries()
{
    QFETCH(int, retries);

    ORTVDataClient client;
    client.setServer(QHostAddress::LocalHost, server.localPort());
    client.setTimeout(100);
    client.setRetries(retries);
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    QSignalSpy failed(&client, &ORTVDataClient::failed);

    QVERIFY(client.read({"a", "b"}));
    QVERIFY(failed.wait(2000));
    QCOMPARE(failed.takeFirst().at(0).toStringList(), QStringList({"a", "b"}));
    int requests = 0;
    for (; server.hasPendingDatagrams(); ++requests)
        server.receiveDatagram();
    QCOMPARE(requests, retries + 1);
}

void tst_DataClient::keepAliveTime_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QDateTime>("time");

    QTest::newRow("server's frame")
        << keepAlive << QDateTime(QDate(2026, 12, 8), QTime(4, 31, 5, 42), QTimeZone::utc());
    QTest::newRow("other first url") << QByteArray(keepAlive).replace("keep.alive", "x")
                                     << QDateTime();
    QTest::newRow("no such date") << QByteArray(keepAlive).replace("08.12", "32.12")
                                  << QDateTime();
    QTest::newRow("a reply") << reply("com.orvane.date.utc", "08.12.2026 04:31:05.042")
                             << QDateTime();
}

void tst_DataClient::keepAliveTime()
{
    QFETCH(QByteArray, frame);
    QFETCH(QDateTime, time);
    QCOMPARE(ORTVDataClient::keepAliveTime(frame), time);
}

void tst_DataClient::splitWrites_data()
{
    QTest::addColumn<bool>("readBack");
    QTest::addColumn<qsizetype>("maxEntries");
    QTest::addColumn<int>("datagrams");
    const qsizetype unlimited = std::numeric_limits<qsizetype>::max();
    // 85 bytes an entry, 770 in each datagram; with its ReadData 124 bytes, 528 in each.
    QTest::newRow("store only") << false << unlimited << 4;
    QTest::newRow("read back") << true << unlimited << 6;
    QTest::newRow("at most 200 entries") << true << qsizetype(200) << 15;
}

void tst_DataClient::splitWrites()
{
    QFETCH(bool, readBack);
    QFETCH(qsizetype, maxEntries);
    QFETCH(int, datagrams);
    QList<ORTVDataClient::Entry> entries;
    for (int i = 0; i < 3000; ++i)
        entries.append({QStringLiteral("key/%1").arg(i), QString(40, QLatin1Char('v'))});
    entries.insert(100, {QStringLiteral("huge"), QString(70000, QLatin1Char('x'))});
    QList<ORTVDataClient::Entry> tooLarge;
    const QList<QList<ORTVDataClient::Entry>> parts = ORTVDataClient::splitWrites(
        entries, readBack, &tooLarge, ORTVDataClient::maxDatagramBytes, maxEntries);
    QCOMPARE(tooLarge.size(), 1);
    QCOMPARE(tooLarge.first().url, QStringLiteral("huge"));
    QList<ORTVDataClient::Entry> joined;
    for (const auto &part : parts) {
        QVERIFY(ORTVDataClient::writeRequest(part, readBack).size()
                <= ORTVDataClient::maxDatagramBytes);
        QVERIFY(part.size() <= maxEntries);
        joined += part;
    }
    // As few datagrams as fit.
    QCOMPARE(parts.size(), datagrams);
    entries.removeAt(100);
    QCOMPARE(joined.size(), entries.size());
    for (qsizetype i = 0; i < joined.size(); ++i)
        QCOMPARE(joined.at(i).url, entries.at(i).url);
}

QTEST_MAIN(tst_DataClient)
#include "tst_dataclient.moc"
