#pragma once

#include "ORTVDataClient.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <optional>

class ORTVHttpReader;

// The commands of the ortv program. Each one runs to its end and returns the exit status.
class ORTVCommands : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus { Success = 0, NoAnswer = 1, UsageError = 2 };

    struct Options
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

    explicit ORTVCommands(const Options &options, QObject *parent = nullptr);

    int set(const QStringList &args);
    int get(const QStringList &urls);
    int watch(const QStringList &urls);
    int dump();
    int load(const QString &file);
    int ping();
    int time();

    // A regular expression for a shell-style pattern: `*` any text, `?` one character.
    static QString wildcardExpression(const QString &pattern);

private:
    std::optional<QJsonValue> valueToSet(const QString &url, const QString &text);
    int checkReadBack(const QList<ORTVDataClient::Entry> &entries, const QStringList &readBack,
                      const QHash<QString, QString> &typed);
    int fail(int status, const QString &message);
    int noAnswer(const QStringList &missingUrls);
    bool bindClient();
    std::optional<QStringList> await(bool started);
    std::optional<QByteArray> httpGet(const QString &path);
    void printDump(const QList<QPair<QString, QString>> &values);
    void printRoundTrips(QList<double> times);

    Options options;
    ORTVDataClient *client = nullptr;
    ORTVHttpReader *http = nullptr;
    QStringList lastMissing;
    QString lastHttpError;
    QTextStream out;
    QTextStream err;
};
