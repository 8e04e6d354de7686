#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;

// Fetches the data server's HTTP pages (/Status, /Data) with a timeout, and reads their bodies.
class ORTVHttpReader : public QObject
{
    Q_OBJECT

public:
    using Values = QList<QPair<QString, QString>>;

    explicit ORTVHttpReader(QObject *parent = nullptr);

    void setServer(const QString &host, quint16 port);
    void setTimeout(int ms) { timeoutMs = ms; }
    QUrl url(const QString &path) const;

    // GET `path`; ends with finished() for a 200 answer, failed() for anything else.
    void get(const QString &path);

    // The key -> value pairs of a /Data body, sorted by key; nothing if it is not one.
    static std::optional<Values> parseData(const QByteArray &body);
    static bool isStatusSuccess(const QByteArray &body);

signals:
    void finished(const QByteArray &body);
    void failed(const QString &error);

private:
    QNetworkAccessManager *manager = nullptr;
    QString serverHost = QStringLiteral("127.0.0.1");
    quint16 serverPort = 8080;
    int timeoutMs = 1000;
};
