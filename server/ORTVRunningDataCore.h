#pragma once

#include "ORTVCoreCounters.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QObject>
#include <QString>

// Holds the running data (key -> value) and carries out the JSON commands that clients send:
// "SetData" stores a value, "ReadData" asks for a reply frame through needToSendFrame.
class ORTVRunningDataCore : public QObject
{
    Q_OBJECT

public:
    explicit ORTVRunningDataCore(QObject *parent = nullptr);

    void receivedDataFromClient(const QNetworkDatagram &dgram);
    void parseJSONObject(QJsonObject obj, const QNetworkDatagram &dgram);
    QHash<QString, QString> getCoreData();
    ORTVRunningDataCore *iterateCore();
    const ORTVCoreCounters &counters() const { return counted; }

signals:
    void needToSendFrame(const QNetworkDatagram &d, QHostAddress adr, quint16 port);

private:
    QHash<QString, QString> coreData;
    ORTVCoreCounters counted;
};
