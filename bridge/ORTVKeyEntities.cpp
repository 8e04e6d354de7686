#include "ORTVKeyEntities.h"

#include "ORTVHomeAssistant.h"
#include "ORTVTopicCodec.h"

#include <cmath>

namespace {

// Bounds of the number entities: Home Assistant refuses a value outside them, and a step
// under 0.001.
constexpr double numberBound = 1e15;
constexpr double numberStep = 0.001;
// Home Assistant's longest text entity value.
constexpr int textMax = 255;

// The digits from `i` on; returns how many.
qsizetype skipDigits(QStringView text, qsizetype &i)
{
    const qsizetype start = i;
    while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'))
        ++i;
    return i - start;
}

} // namespace

ORTVKeyEntities::ORTVKeyEntities(const QString &prefix, const QString &nodeId,
                                 const ORTVEntityRules &rules, bool writes)
    : prefix(prefix), nodeId(nodeId), rules(rules), writes(writes)
{
}

bool ORTVKeyEntities::isNumber(QStringView value)
{
    qsizetype i = value.startsWith(QLatin1Char('-')) ? 1 : 0;
    qsizetype digits = skipDigits(value, i);
    if (i < value.size() && value[i] == QLatin1Char('.'))
        digits += skipDigits(value, ++i);
    if (digits == 0)
        return false;
    if (i < value.size() && (value[i] == QLatin1Char('e') || value[i] == QLatin1Char('E'))) {
        ++i;
        if (i < value.size() && (value[i] == QLatin1Char('+') || value[i] == QLatin1Char('-')))
            ++i;
        if (skipDigits(value, i) == 0)
            return false;
    }
    bool ok = false;
    const double number = value.toDouble(&ok);
    return i == value.size() && ok && std::isfinite(number);
}

QList<ORTVKeyEntities::Entry> ORTVKeyEntities::entries(const QString &key, bool numeric) const
{
    const ORTVEntityRules::Rule rule = rules.ruleFor(key);
    if (!isEnabled() || rule.ignore)
        return {};
    QList<Entry> out{{ORTVHomeAssistant::configTopic(nodeId, key),
                      ORTVHomeAssistant::toPayload(sensor(key, numeric, rule))}};
    if (rule.writable && writes) {
        const char *platform = numeric ? ORTVHomeAssistant::number : ORTVHomeAssistant::text;
        out.append({ORTVHomeAssistant::configTopic(nodeId, key, platform),
                    ORTVHomeAssistant::toPayload(control(key, numeric, rule))});
    }
    return out;
}

QStringList ORTVKeyEntities::brokerPatterns() const
{
    return isEnabled() ? ORTVHomeAssistant::keyConfigPatterns(nodeId) : QStringList();
}

bool ORTVKeyEntities::owns(const QString &topic) const
{
    return isEnabled() && ORTVHomeAssistant::isKeyConfigTopic(nodeId, topic);
}

QJsonObject ORTVKeyEntities::entity(const QString &key, const QString &uniqueId) const
{
    QJsonObject entry{
        {QStringLiteral("name"), key},
        {QStringLiteral("unique_id"), uniqueId},
        {QStringLiteral("state_topic"),
         prefix + QLatin1String("/data/") + ORTVTopicCodec::encode(key)},
        {QStringLiteral("device"), ORTVHomeAssistant::device(nodeId)},
    };
    ORTVHomeAssistant::addAvailability(entry, prefix);
    return entry;
}

// A text value gets no unit or device class: Home Assistant takes a sensor with either for a
// numeric one and refuses its text.
QJsonObject ORTVKeyEntities::sensor(const QString &key, bool numeric,
                                    const ORTVEntityRules::Rule &rule) const
{
    QJsonObject entry =
        entity(key, nodeId + QLatin1Char('_') + ORTVHomeAssistant::objectId(key));
    if (!numeric)
        return entry;
    entry.insert(QStringLiteral("state_class"),
                 rule.stateClass.isEmpty() ? QStringLiteral("measurement") : rule.stateClass);
    if (!rule.unit.isEmpty())
        entry.insert(QStringLiteral("unit_of_measurement"), rule.unit);
    if (!rule.deviceClass.isEmpty())
        entry.insert(QStringLiteral("device_class"), rule.deviceClass);
    return entry;
}

// The number or text entity that writes the key: Home Assistant publishes on its command topic
// without retain, which the bridge stores like any other write.
QJsonObject ORTVKeyEntities::control(const QString &key, bool numeric,
                                     const ORTVEntityRules::Rule &rule) const
{
    QJsonObject entry =
        entity(key, nodeId + QLatin1Char('_') + ORTVHomeAssistant::objectId(key)
                        + QLatin1String("_set"));
    entry.insert(QStringLiteral("command_topic"),
                 prefix + QLatin1String("/set/") + ORTVTopicCodec::encode(key));
    if (!numeric) {
        entry.insert(QStringLiteral("max"), textMax);
        entry.insert(QStringLiteral("mode"), QStringLiteral("text"));
        return entry;
    }
    entry.insert(QStringLiteral("min"), -numberBound);
    entry.insert(QStringLiteral("max"), numberBound);
    entry.insert(QStringLiteral("step"), numberStep);
    entry.insert(QStringLiteral("mode"), QStringLiteral("box"));
    if (!rule.unit.isEmpty())
        entry.insert(QStringLiteral("unit_of_measurement"), rule.unit);
    return entry;
}
