// Arbitrary payloads through the real UDP receive path: a transceiver on an ephemeral loopback
// port, wired to a data core as the server wires them, and a socket that sends each input.
#include "FuzzSupport.h"
#include "ORTVRunningDataCore.h"
#include "ORTVUDPTransceiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>

namespace {

// The largest payload one IPv4 UDP datagram carries.
constexpr qsizetype maxPayload = 65507;
constexpr int waitMs = 2000;

struct Rig
{
    Rig()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QObject::connect(&transceiver, &ORTVUDPTransceiver::didReceiveData,
                         [this](const QNetworkDatagram &dgram) {
                             ++received;
                             lastPayload = dgram.data();
                             core.receivedDataFromClient(dgram);
                         });
        QObject::connect(&core, &ORTVRunningDataCore::needToSendFrame,
                         [this](const QNetworkDatagram &d, QHostAddress adr, quint16 port) {
                             transceiver.sendData(d, adr, port);
                         });
        const QUdpSocket *bound = transceiver.findChild<QUdpSocket *>();
        FUZZ_CHECK(bound && bound->state() == QAbstractSocket::BoundState);
        port = bound->localPort();
        FUZZ_CHECK(sender.bind(QHostAddress::LocalHost, 0));
    }

    // The transceiver binds AnyIPv4; port 0 gives an ephemeral one.
    ORTVUDPTransceiver transceiver{nullptr, 0};
    ORTVRunningDataCore core;
    QUdpSocket sender;
    quint16 port = 0;
    int received = 0;
    QByteArray lastPayload;
};

Rig *rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    silenceMessages();
    // Lives for the whole run; libFuzzer ends the process with exit().
    static QCoreApplication app(*argc, *argv);
    static Rig theRig;
    rig = &theRig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(bytes),
                             qMin(qsizetype(size), maxPayload));
    const int before = rig->received;
    FUZZ_CHECK(rig->sender.writeDatagram(payload, QHostAddress::LocalHost, rig->port)
               == payload.size());
    QElapsedTimer clock;
    clock.start();
    while (rig->received == before && clock.elapsed() < waitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // Loopback does not lose datagrams: each input arrives whole, exactly once.
    FUZZ_CHECK(rig->received == before + 1);
    FUZZ_CHECK(rig->lastPayload == payload);
    // Replies (one per ReadData) come back to the sender; drop them.
    while (rig->sender.hasPendingDatagrams())
        rig->sender.receiveDatagram();
    return 0;
}
