#include "ORTVUDPPeer.h"
#include "ORTVUDPPeerIndex.h"

#include <QTest>

class tst_UDPPeerIndex : public QObject
{
    Q_OBJECT

private slots:
    void keyAgreesWithPeerEquality_data();
    void keyAgreesWithPeerEquality();
    void stalestFollowsHearing();
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

QTEST_GUILESS_MAIN(tst_UDPPeerIndex)
#include "tst_udppeerindex.moc"
