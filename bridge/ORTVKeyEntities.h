#pragma once

#include "ORTVEntityRules.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringView>

// A key's Home Assistant entities as retained discovery messages. Every key not ignored is a
// sensor: a measurement (kept in Home Assistant's statistics, with the unit and device class the
// rules give) while its value is a number, a text sensor otherwise. A writable key is also a
// number entity (a number) or a text entity (text) whose command topic is the key's
// PREFIX/set/ topic. All follow the bridge's and the server's state topics.
class ORTVKeyEntities
{
public:
    struct Entry
    {
        QString topic;
        QByteArray config;
    };

    // Disabled (no entries) without a node; `writes`: whether the bridge takes PREFIX/set/.
    ORTVKeyEntities(const QString &prefix = {}, const QString &nodeId = {},
                    const ORTVEntityRules &rules = {}, bool writes = false);

    bool isEnabled() const { return !nodeId.isEmpty(); }
    // Whether a value is a number for Home Assistant: JSON's decimal form (leading zeros and
    // a bare fraction such as ".5" too) of a finite value.
    static bool isNumber(QStringView value);
    QList<Entry> entries(const QString &key, bool numeric) const;
    // The subscriptions that cover the keys' entries, and whether a topic is one of them.
    QStringList brokerPatterns() const;
    bool owns(const QString &topic) const;

private:
    QJsonObject entity(const QString &key, const QString &uniqueId) const;
    QJsonObject sensor(const QString &key, bool numeric, const ORTVEntityRules::Rule &rule) const;
    QJsonObject control(const QString &key, bool numeric, const ORTVEntityRules::Rule &rule) const;

    QString prefix;
    QString nodeId;
    ORTVEntityRules rules;
    bool writes = false;
};
