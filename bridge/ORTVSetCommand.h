#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// A message on PREFIX/set/KEY read as a write for the data server: the key from the topic's
// levels after PREFIX/set/, the value from the payload as UTF-8 text; or, for a message that is
// no write, the warning that says why.
class ORTVSetCommand
{
public:
    // Larger payloads are refused.
    static constexpr qsizetype maxPayload = 60 * 1024;

    // `keyLevels`: what follows PREFIX/set/ in `topic`.
    static ORTVSetCommand read(const QString &topic, QStringView keyLevels,
                               const QByteArray &payload);

    bool isWrite() const { return refusal.isEmpty(); }

    QString key;
    QString value;
    QString refusal;
};
