#include "ORTVSetCommand.h"
#include "ORTVTopicCodec.h"

#include <QStringDecoder>

ORTVSetCommand ORTVSetCommand::read(const QString &topic, QStringView keyLevels,
                                    const QByteArray &payload)
{
    ORTVSetCommand command;
    const std::optional<QString> key = ORTVTopicCodec::decode(keyLevels.toString());
    if (!key) {
        command.refusal =
            QStringLiteral("skipped a message on %1: the topic names no key").arg(topic);
        return command;
    }
    if (payload.size() > maxPayload) {
        command.refusal = QStringLiteral("skipped a message on %1: %2 bytes, more than %3")
                              .arg(topic).arg(payload.size()).arg(maxPayload);
        return command;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    command.value = decoder(payload);
    if (decoder.hasError()) {
        command.refusal = QStringLiteral("skipped a message on %1: not UTF-8 text").arg(topic);
        return command;
    }
    command.key = *key;
    return command;
}
