#pragma once

#include "ORTVCommand.h"
#include "ORTVDataClient.h"

#include <QHash>
#include <QJsonValue>

// ortv set and ortv load: values stored in datagrams that read them back, each value checked
// against what the server says it stored.
class ORTVWriteCommands : public ORTVCommand
{
    Q_OBJECT

public:
    using ORTVCommand::ORTVCommand;

    int set(const QStringList &args);
    int load(const QString &file);

private:
    std::optional<QJsonValue> valueToSet(const QString &url, const QString &text);
    int checkReadBack(const QList<ORTVDataClient::Entry> &entries, const QStringList &readBack,
                      const QHash<QString, QString> &typed);
};
