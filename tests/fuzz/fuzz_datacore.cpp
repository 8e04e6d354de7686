// Arbitrary bytes as datagrams to a fresh data core (one datagram per line, so what the store
// held before a write is part of the input and a finding replays alone), then the store read
// as the /Data route reads it.
#include "DataJsonReference.h"
#include "FuzzSupport.h"
#include "ORTVDataJson.h"
#include "ORTVRunningDataCore.h"

#include <QJsonDocument>
#include <QNetworkDatagram>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // A fresh store per input: a store that grew over millions of inputs would only slow the
    // run down (its whole content is logged after every write).
    ORTVRunningDataCore core;
    int replies = 0;
    QObject::connect(&core, &ORTVRunningDataCore::needToSendFrame,
                     [&](const QNetworkDatagram &frame, const QHostAddress &adr, quint16 port) {
                         ++replies;
                         FUZZ_CHECK(adr == QHostAddress(QHostAddress::LocalHost));
                         FUZZ_CHECK(port == 40000);
                         // A reply is always one compact object: the value and the echoed url.
                         QJsonParseError error;
                         const QJsonDocument doc = QJsonDocument::fromJson(frame.data(), &error);
                         FUZZ_CHECK(error.error == QJsonParseError::NoError);
                         FUZZ_CHECK(doc.isObject());
                         FUZZ_CHECK(doc.object().size() == 2);
                         FUZZ_CHECK(doc.object().value(QLatin1String("data")).isString());
                         FUZZ_CHECK(doc.object().contains(QLatin1String("url")));
                     });

    const QByteArray input(reinterpret_cast<const char *>(bytes), qsizetype(size));
    for (const QByteArray &payload : input.split('\n')) {
        QNetworkDatagram dgram(payload);
        dgram.setSender(QHostAddress(QHostAddress::LocalHost), 40000);
        core.receivedDataFromClient(dgram);
    }
    FUZZ_CHECK(replies <= int(size));

    const QHash<QString, QString> snapshot = core.getCoreData();
    const QByteArray body = ORTVDataJson::document(snapshot);
    FUZZ_CHECK(body == dataJsonViaObjects(snapshot));
    QJsonParseError error;
    const QJsonDocument reread = QJsonDocument::fromJson(body, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    const QJsonArray points = reread.object().value(QLatin1String("data")).toArray();
    FUZZ_CHECK(points.size() == snapshot.size());
    for (const QJsonValue &point : points) {
        FUZZ_CHECK(point.toObject().size() == 1);
        FUZZ_CHECK(point.toObject().begin().value().isString());
    }
    return 0;
}
