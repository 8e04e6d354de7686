#pragma once

#include "ORTVCommand.h"

// ortv get: values read in one datagram, printed one a line in the order asked.
class ORTVGetCommand : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int run(const QStringList &urls);
};
