#pragma once

#include "ORTVCommand.h"

#include <QList>

// ortv ping: the HTTP status page, then timed ReadData round trips without retries, for health
// checks.
class ORTVPingCommand : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int run();

private:
    void printRoundTrips(QList<double> times);
};
