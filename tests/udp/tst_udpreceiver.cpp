#include "LogCapture.h"
#include "ORTVUDPReceiver.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

// Runs in a private network namespace: the listener's port 1234 is fixed.
class tst_UDPReceiver : public QObject
{
    Q_OBJECT

private slots:
    void logsEachDatagramAndNothingElse();
    void bindFailureIsReported();
};

void tst_UDPReceiver::logsEachDatagramAndNothingElse()
{
    LogCapture log;
    ORTVUDPReceiver receiver;
    QCOMPARE(log.lines(), QStringList{"ORTVUDPReceiver started @ port 1234"});
    log.clear();

    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    for (const char *payload : {"first", "se\"cond", "third"})
        client.writeDatagram(payload, QHostAddress::LocalHost, 1234);
    QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 3, 2000);

    const QString from = QStringLiteral("RX ( \"127.0.0.1\" : %1 ) <-  ").arg(client.localPort());
    QCOMPARE(log.lines(), (QStringList{from + "\"first\"", from + R"("se\"cond")",
                                      from + "\"third\""}));
    QVERIFY(!client.waitForReadyRead(100));
}

void tst_UDPReceiver::bindFailureIsReported()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, 1234, QAbstractSocket::DontShareAddress));
    LogCapture log;
    ORTVUDPReceiver receiver;
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().at(0).startsWith("ORTVUDPReceiver failed to bind port 1234 : \""),
             qPrintable(log.lines().at(0)));
}

QTEST_GUILESS_MAIN(tst_UDPReceiver)
#include "tst_udpreceiver.moc"
