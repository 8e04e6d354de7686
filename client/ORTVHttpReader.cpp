#include "ORTVHttpReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

ORTVHttpReader::ORTVHttpReader(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    // The server is on the local network: a proxy from the environment would only be in the way.
    manager->setProxy(QNetworkProxy::NoProxy);
}

void ORTVHttpReader::setServer(const QString &host, quint16 port)
{
    serverHost = host;
    serverPort = port;
}

QUrl ORTVHttpReader::url(const QString &path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(serverHost);
    url.setPort(serverPort);
    url.setPath(path);
    return url;
}

void ORTVHttpReader::get(const QString &path)
{
    QNetworkReply *reply = manager->get(QNetworkRequest(url(path)));
    // A timer of our own rather than the request's transfer timeout, whose API differs
    // between the Qt versions this builds with.
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start(timeoutMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply, timer] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::OperationCanceledError && !timer->isActive())
            emit failed(QStringLiteral("no answer within %1 ms").arg(timeoutMs));
        else if (reply->error() != QNetworkReply::NoError && status == 0)
            emit failed(reply->errorString());
        else if (status != 200)
            emit failed(QStringLiteral("HTTP status %1").arg(status));
        else
            emit finished(reply->readAll());
    });
}

std::optional<ORTVHttpReader::Values> ORTVHttpReader::parseData(const QByteArray &body)
{
    const QJsonValue data = QJsonDocument::fromJson(body).object().value(QLatin1String("data"));
    if (!data.isArray())
        return std::nullopt;
    Values values;
    for (const QJsonValue &item : data.toArray()) {
        const QJsonObject pairs = item.toObject();
        for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it)
            values.append({it.key(), it.value().toString()});
    }
    std::sort(values.begin(), values.end());
    return values;
}

bool ORTVHttpReader::isStatusSuccess(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object().value(QLatin1String("status")).toString()
        == QLatin1String("success");
}
