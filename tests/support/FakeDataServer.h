#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkDatagram>
#include <QSet>
#include <QUdpSocket>

#include <functional>
#include <optional>

// A stand-in for the data server's UDP side, on a port the system picks and in the test's own
// thread: the test runs its event loop while a client waits (QTest::qWaitFor). It keeps every
// datagram it receives and answers each ReadData in it with the value `answer` gives for the
// url, or not at all when that gives nothing.
class FakeDataServer
{
public:
    FakeDataServer()
    {
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] { receive(); });
    }

    bool start() { return socket.bind(QHostAddress::LocalHost, 0); }
    quint16 port() const { return socket.localPort(); }

    // Reads what waits on the socket; the event loop calls it, a test may too.
    void receive()
    {
        while (socket.hasPendingDatagrams()) {
            received.append(socket.receiveDatagram());
            replyTo(received.last());
        }
    }

    void replyTo(const QNetworkDatagram &request)
    {
        const QJsonArray commands = QJsonDocument::fromJson(request.data()).array();
        for (const QJsonValue &command : commands) {
            const QString url = command[QLatin1String("url")].toString();
            if (command[QLatin1String("cmd")].toString() != QLatin1String("ReadData") || !answer)
                continue;
            if (const std::optional<QString> data = answer(url)) {
                const QJsonObject reply{{QLatin1String("data"), *data}, {QLatin1String("url"), url}};
                socket.writeDatagram(QJsonDocument(reply).toJson(QJsonDocument::Compact),
                                     request.senderAddress(), quint16(request.senderPort()));
            }
        }
    }

    // The source ports of the datagrams received from `since` on.
    QSet<int> senderPorts(qsizetype since = 0) const
    {
        QSet<int> ports;
        for (const QNetworkDatagram &datagram : received.mid(since))
            ports.insert(datagram.senderPort());
        return ports;
    }

    std::function<std::optional<QString>(const QString &url)> answer;
    QList<QNetworkDatagram> received;

private:
    QUdpSocket socket;
};
