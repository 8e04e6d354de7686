#include "ORTVUDPPeer.h"

#include <QTest>

using PeerList = QList<ORTVUDPPeer>;

static ORTVUDPPeer peer(const char *address, quint16 port)
{
    return ORTVUDPPeer(QHostAddress(QString::fromLatin1(address)), port);
}

class tst_UDPPeer : public QObject
{
    Q_OBJECT

private slots:
    void findInList_data();
    void findInList();
    void isMe_data();
    void isMe();
    void copyHasNoParent();
};

void tst_UDPPeer::findInList_data()
{
    QTest::addColumn<PeerList>("list");
    QTest::addColumn<QString>("address");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<qint64>("index");

    const PeerList one{peer("192.0.2.10", 5000)};
    QTest::newRow("empty list") << PeerList{} << "192.0.2.10" << quint16(5000) << qint64(-1);
    QTest::newRow("same endpoint") << one << "192.0.2.10" << quint16(5000) << qint64(0);
    QTest::newRow("other port") << one << "192.0.2.10" << quint16(5001) << qint64(-1);
    QTest::newRow("other address") << one << "192.0.2.11" << quint16(5000) << qint64(-1);
    QTest::newRow("IPv4-mapped IPv6 form")
        << one << "::ffff:192.0.2.10" << quint16(5000) << qint64(0);
    QTest::newRow("IPv6 loopback equals IPv4 loopback")
        << PeerList{peer("127.0.0.1", 9)} << "::1" << quint16(9) << qint64(0);
    QTest::newRow("first match wins")
        << PeerList{peer("192.0.2.1", 1), peer("192.0.2.10", 5000), peer("192.0.2.2", 2),
                    peer("192.0.2.10", 5000)}
        << "192.0.2.10" << quint16(5000) << qint64(1);
    QTest::newRow("last element")
        << PeerList{peer("192.0.2.1", 1), peer("192.0.2.2", 2), peer("2001:db8::5", 3)}
        << "2001:db8::5" << quint16(3) << qint64(2);
}

void tst_UDPPeer::findInList()
{
    QFETCH(PeerList, list);
    QFETCH(QString, address);
    QFETCH(quint16, port);
    QFETCH(qint64, index);

    QCOMPARE(ORTVUDPPeer::findInList(list, QHostAddress(address), port), index);
    QCOMPARE(ORTVUDPPeer::findInList(list, ORTVUDPPeer(QHostAddress(address), port)), index);
}

void tst_UDPPeer::isMe_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<bool>("me");

    QTest::newRow("same") << "192.0.2.10" << quint16(7) << true;
    QTest::newRow("mapped form") << "::ffff:192.0.2.10" << quint16(7) << true;
    QTest::newRow("other port") << "192.0.2.10" << quint16(8) << false;
    QTest::newRow("other address") << "192.0.2.11" << quint16(7) << false;
}

void tst_UDPPeer::isMe()
{
    QFETCH(QString, address);
    QFETCH(quint16, port);
    QFETCH(bool, me);

    const ORTVUDPPeer record = peer("192.0.2.10", 7);
    QCOMPARE(record.isMe(QHostAddress(address), port), me);
    QCOMPARE(record == ORTVUDPPeer(QHostAddress(address), port), me);
}

void tst_UDPPeer::copyHasNoParent()
{
    QObject owner;
    ORTVUDPPeer original(&owner);
    original.address = QHostAddress(QStringLiteral("192.0.2.10"));
    original.port = 1234;

    const ORTVUDPPeer copy(original);
    QCOMPARE(original.parent(), &owner);
    QCOMPARE(copy.parent(), nullptr);
    QCOMPARE(copy.address, original.address);
    QCOMPARE(copy.port, original.port);

    const ORTVUDPPeer fresh;
    QVERIFY(fresh.address.isNull());
    QCOMPARE(fresh.port, quint16(0));
}

QTEST_GUILESS_MAIN(tst_UDPPeer)
#include "tst_udppeer.moc"
