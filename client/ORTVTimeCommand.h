#pragma once

#include "ORTVCommand.h"

// ortv time: the server's UTC time from its keep-alive frame, and its offset from this
// machine's clock.
class ORTVTimeCommand : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int run();
};
