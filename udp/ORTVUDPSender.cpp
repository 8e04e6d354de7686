#include "ORTVUDPSender.h"

ORTVUDPSender::ORTVUDPSender(const QHostAddress &address, QObject *parent)
    : QObject(parent)
    , address(address)
{
}
