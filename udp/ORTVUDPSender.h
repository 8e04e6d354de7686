#pragma once

#include <QHostAddress>
#include <QObject>

// Placeholder for a sending endpoint: holds the address it would send to and has no behaviour.
class ORTVUDPSender : public QObject
{
    Q_OBJECT

public:
    explicit ORTVUDPSender(const QHostAddress &address, QObject *parent = nullptr);

private:
    QHostAddress address;
};
