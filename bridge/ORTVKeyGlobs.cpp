#include "ORTVKeyGlobs.h"

#include <optional>
#include <utility>

namespace {

// An ASCII sign is escaped (a backslash and a sign is that sign); letters, digits and non-ASCII
// characters are themselves, surrogate pairs kept whole.
void appendLiteral(QString &out, QChar c)
{
    if (c.unicode() < 0x80 && !c.isLetterOrNumber())
        out += QLatin1Char('\\');
    out += c;
}

// The set that starts at `glob[open]` ('['), as a character class, and the index of its ']';
// nothing when the '[' closes no set, and is then itself.
std::optional<std::pair<QString, qsizetype>> characterSet(QStringView glob, qsizetype open)
{
    qsizetype i = open + 1;
    QString set = QStringLiteral("[");
    if (i < glob.size() && (glob[i] == QLatin1Char('!') || glob[i] == QLatin1Char('^'))) {
        set += QLatin1Char('^');
        ++i;
    }
    // A ']' right after the opening is one of the set.
    for (const qsizetype first = i; i < glob.size(); ++i) {
        const QChar c = glob[i];
        if (c == QLatin1Char(']') && i > first)
            return std::pair{set + QLatin1Char(']'), i};
        // Inside a class only '-' keeps its meaning.
        if (c == QLatin1Char('-'))
            set += c;
        else
            appendLiteral(set, c);
    }
    return std::nullopt;
}

} // namespace

ORTVKeyGlobs::ORTVKeyGlobs(const QStringList &globs) : empty(globs.isEmpty())
{
    QStringList alternatives;
    for (const QString &glob : globs)
        alternatives.append(QStringLiteral("(?:%1)").arg(toRegularExpression(glob)));
    expression.setPattern(QRegularExpression::anchoredPattern(alternatives.join(QLatin1Char('|'))));
    expression.setPatternOptions(QRegularExpression::DotMatchesEverythingOption);
}

bool ORTVKeyGlobs::matches(const QString &key) const
{
    return !empty && expression.match(key).hasMatch();
}

QString ORTVKeyGlobs::toRegularExpression(QStringView glob)
{
    QString out;
    for (qsizetype i = 0; i < glob.size(); ++i) {
        const QChar c = glob[i];
        if (c == QLatin1Char('*')) {
            out += QLatin1String(".*");
        } else if (c == QLatin1Char('?')) {
            out += QLatin1Char('.');
        } else if (const auto set = c == QLatin1Char('[') ? characterSet(glob, i) : std::nullopt) {
            out += set->first;
            i = set->second;
        } else {
            appendLiteral(out, c);
        }
    }
    return out;
}
