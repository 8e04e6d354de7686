#include "ORTVUDPPeer.h"
#include "ORTVUDPPeerIndex.h"
#include "ORTVUDPPeerTable.h"

#include <QTest>

class tst_UDPPeerIndex : public QObject
{
    Q_OBJECT

private slots:
    void keyAgreesWithPeerEquality_data();
    void keyAgreesWithPeerEquality();
    void stalestFollowsHearing();
    void tableGivesWayToStalest_data();
    void tableGivesWayToStalest();
};

void tst_UDPPeerIndex::keyAgreesWithPeerEquality_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("samePeer");
    QTest::newRow("IPv4 itself") << "192.0.2.10" << "192.0.2.10" << true;
    QTest::newRow("IPv4-mapped") << "192.0.2.10" << "::ffff:192.0.2.10" << true;
    QTest::newRow("IPv4-compatible") << "192.0.2.10" << "::192.0.2.10" << true;
    QTest::newRow("loopbacks") << "127.0.0.1" << "::1" << true;
    QTest::newRow("mapped loopback") << "127.0.0.1" << "::ffff:127.0.0.1" << true;
    QTest::newRow("unspecified") << "0.0.0.0" << "::" << true;
    QTest::newRow("scope id ignored") << "fe80::1" << "fe80::1%2" << true;
    QTest::newRow("other IPv4") << "192.0.2.10" << "192.0.2.11" << false;
    QTest::newRow("IPv4 and other IPv6") << "192.0.2.10" << "2001:db8::c000:20a" << false;
    QTest::newRow("IPv6") << "2001:db8::1" << "2001:db8::2" << false;
    QTest::newRow("null and unspecified") << "" << "0.0.0.0" << false;
    QTest::newRow("0.0.0.1 and ::1") << "0.0.0.1" << "::1" << false;
}

// The index finds a peer exactly where the peer record's equality says it is the same one.
void tst_UDPPeerIndex::keyAgreesWithPeerEquality()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, samePeer);
    const QHostAddress first(a), second(b);
    QCOMPARE(ORTVUDPPeer(first, 1234) == ORTVUDPPeer(second, 1234), samePeer);

    ORTVUDPPeerIndex index;
    index.insert(first, 1234, 0);
    QCOMPARE(index.find(second, 1234), samePeer ? 0 : -1);
    QCOMPARE(index.find(second, 1235), -1);
}

void tst_UDPPeerIndex::stalestFollowsHearing()
{
    ORTVUDPPeerIndex index;
    QCOMPARE(index.stalest(), -1);
    const QHostAddress host(QStringLiteral("192.0.2.10"));
    for (quint16 port = 0; port < 4; ++port)
        index.insert(host, port, port);
    QCOMPARE(index.stalest(), 0);

    index.touch(0);  // heard from again: 1 is the stalest now
    index.touch(2);
    QCOMPARE(index.stalest(), 1);

    // The stalest position gets a new endpoint, which counts as just heard from.
    index.remove(host, 1);
    QCOMPARE(index.find(host, 1), -1);
    QCOMPARE(index.stalest(), 3);
    index.insert(host, 9, 1);
    QCOMPARE(index.find(host, 9), 1);
    const QList<qsizetype> expectedOrder{3, 0, 2, 1};
    for (qsizetype position : expectedOrder) {
        QCOMPARE(index.stalest(), position);
        index.touch(position);
    }
    QCOMPARE(index.size(), 4);
}

// Each answer is 10 * sender kind + position (Known 0, New 1, GaveWay 2).
void tst_UDPPeerIndex::tableGivesWayToStalest_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("heard");    // ports of one host, in the order heard
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QList<int>>("table");    // ports by position afterwards
    QTest::newRow("below the limit") << 3 << QList<int>{1, 2, 1} << QList<int>{10, 11, 0}
                                     << QList<int>{1, 2};
    QTest::newRow("heard again is not the stalest") << 3 << QList<int>{1, 2, 3, 1, 4, 5}
        << QList<int>{10, 11, 12, 0, 21, 22} << QList<int>{1, 4, 5};
    QTest::newRow("the newcomer is the freshest") << 2 << QList<int>{1, 2, 3, 4, 3}
        << QList<int>{10, 11, 20, 21, 0} << QList<int>{3, 4};
    QTest::newRow("one place") << 1 << QList<int>{1, 1, 2, 1} << QList<int>{10, 0, 20, 20}
                               << QList<int>{1};
}

void tst_UDPPeerIndex::tableGivesWayToStalest()
{
    QFETCH(int, limit);
    QFETCH(QList<int>, heard);
    QFETCH(QList<int>, answers);
    QFETCH(QList<int>, table);
    ORTVUDPPeerTable peers;
    peers.setLimit(limit);
    QList<int> got, ports;
    for (int port : heard) {
        const auto answer = peers.hear(QHostAddress(QStringLiteral("192.0.2.10")), quint16(port));
        got << 10 * int(answer.sender) + int(answer.position);
    }
    for (const ORTVUDPPeer &peer : peers.peers())
        ports << peer.port;
    QCOMPARE(got, answers);
    QCOMPARE(ports, table);
}

QTEST_GUILESS_MAIN(tst_UDPPeerIndex)
#include "tst_udppeerindex.moc"
