// Bursts of HTTP clients against the real server, in a private network namespace.
#include "ServerProcess.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

const QByteArray statusBody = R"({"message":"Current Server status","status":"success"})";

// One client of a burst: connects, sends one GET /Status and records when the whole answer
// has arrived.
class BurstClient : public QObject
{
public:
    explicit BurstClient(const QElapsedTimer &clock, QObject *parent)
        : QObject(parent)
        , socket(new QTcpSocket(this))
        , clock(clock)
    {
        connect(socket, &QTcpSocket::connected, this, [this] {
            socket->write("GET /Status HTTP/1.1\r\nHost: localhost\r\n\r\n");
        });
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            received += socket->readAll();
            if (answeredAt < 0 && received.endsWith(statusBody))
                answeredAt = this->clock.elapsed();
        });
        socket->connectToHost(QHostAddress::LocalHost, 8080);
    }
    bool answeredCorrectly() const
    {
        return answeredAt >= 0 && received.startsWith("HTTP/1.1 200 OK\r\n");
    }

    QTcpSocket *socket;
    QByteArray received;
    qint64 answeredAt = -1;

private:
    const QElapsedTimer &clock;
};

} // namespace

class tst_HttpBurst : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void simultaneousClients_data();
    void simultaneousClients();

private:
    ServerProcess server;
};

void tst_HttpBurst::initTestCase()
{
    QVERIFY(server.start());
}

void tst_HttpBurst::cleanupTestCase()
{
    server.stop();
}

void tst_HttpBurst::simultaneousClients_data()
{
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("waves");
    QTest::newRow("500 at once") << 500 << 1;
    QTest::newRow("2000 in waves of 500") << 500 << 4;
}

void tst_HttpBurst::simultaneousClients()
{
    QFETCH(int, clients);
    QFETCH(int, waves);

    for (int wave = 0; wave < waves; ++wave) {
        QObject burst;
        QElapsedTimer clock;
        clock.start();
        std::vector<BurstClient *> all;
        for (int i = 0; i < clients; ++i)
            all.push_back(new BurstClient(clock, &burst));

        const auto answered = [&] {
            return std::count_if(all.cbegin(), all.cend(),
                                 [](const BurstClient *c) { return c->answeredAt >= 0; });
        };
        QTRY_COMPARE_WITH_TIMEOUT(int(answered()), clients, 20000);

        qint64 slowest = 0;
        for (const BurstClient *client : all) {
            QVERIFY2(client->answeredCorrectly(), client->received.constData());
            slowest = qMax(slowest, client->answeredAt);
        }
        qInfo("wave %d: %d clients answered, slowest after %lld ms", wave + 1, clients, slowest);
        QVERIFY2(slowest <= 2000 * TEST_TIME_SCALE, qPrintable(QString::number(slowest)));
        QCOMPARE(server.process.state(), QProcess::Running);
    }
}

QTEST_GUILESS_MAIN(tst_HttpBurst)
#include "tst_httpburst.moc"
