#pragma once

#include "ORTVKeyGlobs.h"

#include <QList>
#include <QString>
#include <QStringList>

// How keys appear in Home Assistant, from the --entities file and --writable patterns. The
// file holds one line per pattern (ORTVKeyGlobs) with settings after it, separated by blanks:
//
//     # comment
//     hall/*/temp  unit=°C device_class=temperature
//     */setpoint   unit=°C writable
//     energy/*     unit=kWh device_class=energy state_class=total_increasing
//     debug/*      ignore
//
// The first line whose pattern matches a key gives its settings; a --writable pattern makes a
// key writable whatever its line says.
class ORTVEntityRules
{
public:
    struct Rule
    {
        QString unit;
        QString deviceClass;
        QString stateClass;
        bool writable = false;
        bool ignore = false;
    };

    // False with `error` set ("FILE:LINE: why") for a file that cannot be read or a line that
    // cannot be understood.
    bool load(const QString &fileName);
    void setWritable(const QStringList &globs) { writable = ORTVKeyGlobs(globs); }
    Rule ruleFor(const QString &key) const;

    QString error;

private:
    // False with `why` set.
    static bool parseSetting(const QString &word, Rule &rule, QString &why);

    struct Line
    {
        ORTVKeyGlobs pattern;
        Rule rule;
    };
    QList<Line> lines;
    ORTVKeyGlobs writable;
};
