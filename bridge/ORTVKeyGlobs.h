#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>

// Shell-like patterns matched against whole keys: `*` any text, `/` included, `?` one character,
// `[...]` one character of a set (`[a-z]`, `[!0-9]` for none of them); everything else is
// itself. A list of patterns matches a key when any of them does; an empty list matches none.
class ORTVKeyGlobs
{
public:
    ORTVKeyGlobs() = default;
    explicit ORTVKeyGlobs(const QStringList &globs);

    bool isEmpty() const { return empty; }
    bool matches(const QString &key) const;

    // The regular expression of one pattern, anchored at neither end.
    static QString toRegularExpression(QStringView glob);

private:
    QRegularExpression expression;
    bool empty = true;
};
