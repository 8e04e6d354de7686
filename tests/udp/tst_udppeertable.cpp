#include "ORTVUDPPeerTable.h"

#include <QTest>

using Kind = ORTVUDPPeerTable::Sender;
Q_DECLARE_METATYPE(QList<Kind>)

// One question per datagram: known, new, or new in the place of the peer heard from longest ago.
class tst_UDPPeerTable : public QObject
{
    Q_OBJECT

private slots:
    void givesWayToStalest_data();
    void givesWayToStalest();
};

void tst_UDPPeerTable::givesWayToStalest_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("heard");  // ports of 192.0.2.10, in the order heard
    QTest::addColumn<QList<Kind>>("kinds");
    QTest::addColumn<QList<int>>("positions");
    QTest::addColumn<QList<int>>("table");  // ports by position afterwards

    QTest::newRow("below the limit")
        << 3 << QList<int>{1, 2, 1} << QList<Kind>{Kind::New, Kind::New, Kind::Known}
        << QList<int>{0, 1, 0} << QList<int>{1, 2};
    QTest::newRow("full: the first heard gives way")
        << 2 << QList<int>{1, 2, 3} << QList<Kind>{Kind::New, Kind::New, Kind::GaveWay}
        << QList<int>{0, 1, 0} << QList<int>{3, 2};
    QTest::newRow("heard again is not the stalest")
        << 3 << QList<int>{1, 2, 3, 1, 4, 5}
        << QList<Kind>{Kind::New, Kind::New, Kind::New, Kind::Known, Kind::GaveWay, Kind::GaveWay}
        << QList<int>{0, 1, 2, 0, 1, 2} << QList<int>{1, 4, 5};
    QTest::newRow("the newcomer is the freshest")
        << 2 << QList<int>{1, 2, 3, 4, 3}
        << QList<Kind>{Kind::New, Kind::New, Kind::GaveWay, Kind::GaveWay, Kind::Known}
        << QList<int>{0, 1, 0, 1, 0} << QList<int>{3, 4};
    QTest::newRow("one place") << 1 << QList<int>{1, 1, 2, 1}
                               << QList<Kind>{Kind::New, Kind::Known, Kind::GaveWay, Kind::GaveWay}
                               << QList<int>{0, 0, 0, 0} << QList<int>{1};
}

void tst_UDPPeerTable::givesWayToStalest()
{
    QFETCH(int, limit);
    QFETCH(QList<int>, heard);
    QFETCH(QList<Kind>, kinds);
    QFETCH(QList<int>, positions);
    QFETCH(QList<int>, table);

    ORTVUDPPeerTable peers;
    peers.setLimit(limit);
    const QHostAddress host(QStringLiteral("192.0.2.10"));
    for (qsizetype i = 0; i < heard.size(); ++i) {
        const ORTVUDPPeerTable::Heard answer = peers.hear(host, quint16(heard.at(i)));
        QCOMPARE(answer.sender, kinds.at(i));
        QCOMPARE(answer.position, positions.at(i));
    }
    QList<int> ports;
    for (const ORTVUDPPeer &peer : peers.peers())
        ports << peer.port;
    QCOMPARE(ports, table);
    // The record and its list search agree with the table's positions.
    for (qsizetype i = 0; i < table.size(); ++i)
        QCOMPARE(ORTVUDPPeer::findInList(peers.peers(), host, quint16(table.at(i))), i);
}

QTEST_GUILESS_MAIN(tst_UDPPeerTable)
#include "tst_udppeertable.moc"
