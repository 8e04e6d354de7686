#pragma once

#include "ORTVCoreCounters.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QObject>
#include <QString>

class ORTVPlainCommand;

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
    // The store's first contents, before any datagram is handled (from the store file).
    void restoreData(const QHash<QString, QString> &data);
    // Counts the SetData commands that changed the store; a saver compares it with its last.
    quint64 changeCount() const { return changes; }
    const ORTVCoreCounters &counters() const { return counted; }

signals:
    void needToSendFrame(const QNetworkDatagram &d, QHostAddress adr, quint16 port);

private:
    void carryOut(const ORTVPlainCommand &command, const QNetworkDatagram &dgram);
    void store(const QString &key, const QString &value);
    void stored();
    void reply(const QByteArray &frame, const QNetworkDatagram &dgram);

    QHash<QString, QString> coreData;
    quint64 changes = 0;
    ORTVCoreCounters counted;
};
