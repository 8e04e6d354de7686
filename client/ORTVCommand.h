#pragma once

#include "ORTVCommandOptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <optional>

class ORTVDataClient;
class ORTVHttpReader;

// What the commands of the ortv program share: their options, their output, the server's UDP
// and HTTP ports, and how a failure is told. A command runs to its end and returns the exit
// status.
class ORTVCommand : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus { Success = 0, NoAnswer = 1, UsageError = 2 };

    explicit ORTVCommand(const ORTVCommandOptions &options, QObject *parent = nullptr);

protected:
    // Prints "ortv: message" after what was printed so far, and returns `status`.
    int fail(int status, const QString &message);
    int noAnswer(const QStringList &missingUrls);
    // For a request that ended without values: why, and NoAnswer.
    int requestFailed();
    bool bindClient();
    // Runs the event loop until the request just started ends: its values, or nothing when the
    // server did not answer or the request could not start.
    std::optional<QStringList> await(bool started);
    // The body of the HTTP page, or nothing (httpError() says why).
    std::optional<QByteArray> httpGet(const QString &path);
    QString httpError() const { return lastHttpError; }

    const ORTVCommandOptions options;
    ORTVDataClient *const client;
    ORTVHttpReader *const http;
    QTextStream out;
    QTextStream err;

private:
    QStringList lastMissing;
    QString lastHttpError;
};
