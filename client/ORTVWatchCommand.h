#pragma once

#include "ORTVCommand.h"

// ortv watch: reads values at every interval and prints each change, until Ctrl+C or kill.
class ORTVWatchCommand : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int run(const QStringList &urls);
};
