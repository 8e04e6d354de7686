#pragma once

#include <QHostAddress>
#include <QString>

// What the command line of ortv sets: the server, how long and how often to ask it, and each
// command's own switches.
struct ORTVCommandOptions
{
    QString host = QStringLiteral("127.0.0.1");
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 1234;
    quint16 httpPort = 8080;
    int timeoutMs = 1000;
    int retries = 2;
    int sourcePort = -1; // -1: the first free port of the fixed range
    bool json = false;
    bool noConfirm = false;
    bool withUrl = false;
    bool csv = false;
    QString match;
    double intervalS = 1;
    int count = 5;
};
