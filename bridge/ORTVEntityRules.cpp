#include "ORTVEntityRules.h"

#include <QFile>
#include <QRegularExpression>

bool ORTVEntityRules::load(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString text = QString::fromUtf8(file.readLine()).trimmed();
        if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
            continue;
        const QStringList words = text.split(blanks);
        Line line{ORTVKeyGlobs({words.first()}), {}};
        QString why;
        for (const QString &word : words.mid(1)) {
            if (!parseSetting(word, line.rule, why)) {
                error = QStringLiteral("%1:%2: %3").arg(fileName).arg(number).arg(why);
                return false;
            }
        }
        lines.append(line);
    }
    return true;
}

bool ORTVEntityRules::parseSetting(const QString &word, Rule &rule, QString &why)
{
    const QString name = word.section(QLatin1Char('='), 0, 0);
    const QString value = word.section(QLatin1Char('='), 1);
    const bool valued = word.contains(QLatin1Char('='));
    static const QRegularExpression className(QStringLiteral("\\A[a-z0-9_]+\\z"));
    static const QStringList stateClasses{QStringLiteral("measurement"), QStringLiteral("total"),
                                          QStringLiteral("total_increasing")};
    if (!valued && name == QLatin1String("writable")) {
        rule.writable = true;
    } else if (!valued && name == QLatin1String("ignore")) {
        rule.ignore = true;
    } else if (valued && name == QLatin1String("unit") && !value.isEmpty()) {
        rule.unit = value;
    } else if (valued && name == QLatin1String("device_class")
               && className.match(value).hasMatch()) {
        rule.deviceClass = value;
    } else if (valued && name == QLatin1String("state_class") && stateClasses.contains(value)) {
        rule.stateClass = value;
    } else {
        why = QStringLiteral("cannot use \"%1\" (settings: unit=TEXT, device_class=NAME, "
                             "state_class=%2, writable, ignore)")
                  .arg(word, stateClasses.join(QLatin1Char('|')));
        return false;
    }
    return true;
}

ORTVEntityRules::Rule ORTVEntityRules::ruleFor(const QString &key) const
{
    Rule rule;
    for (const Line &line : lines) {
        if (line.pattern.matches(key)) {
            rule = line.rule;
            break;
        }
    }
    rule.writable = rule.writable || writable.matches(key);
    return rule;
}
