#pragma once

#include "ORTVCommand.h"
#include "ORTVHttpReader.h"

// ortv dump: every stored value from the HTTP page /Data, sorted by key, as aligned columns,
// JSON or CSV.
class ORTVDumpCommand : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int run();

private:
    void print(const ORTVHttpReader::Values &values);
};
