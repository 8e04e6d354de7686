#include "ORTVDumpCommand.h"
#include "ORTVCsv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {

// A regular expression for a shell-style pattern: `*` any text, `?` one character.
QString wildcardExpression(const QString &pattern)
{
    QString expression;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('*'))
            expression += QLatin1String(".*");
        else if (c == QLatin1Char('?'))
            expression += QLatin1Char('.');
        else
            expression += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression::anchoredPattern(expression);
}

} // namespace

int ORTVDumpCommand::run()
{
    const std::optional<QByteArray> body = httpGet(QStringLiteral("/Data"));
    if (!body)
        return fail(NoAnswer, QStringLiteral("no answer from %1: %2")
                                  .arg(http->url(QStringLiteral("/Data")).toString(), httpError()));
    std::optional<ORTVHttpReader::Values> values = ORTVHttpReader::parseData(*body);
    if (!values)
        return fail(NoAnswer, QStringLiteral("%1 is not a data list")
                                  .arg(http->url(QStringLiteral("/Data")).toString()));
    if (!options.match.isEmpty()) {
        const QRegularExpression filter(wildcardExpression(options.match),
                                        QRegularExpression::DotMatchesEverythingOption);
        const auto unmatched = [&](const auto &kv) { return !filter.match(kv.first).hasMatch(); };
        values->erase(std::remove_if(values->begin(), values->end(), unmatched), values->end());
    }
    print(*values);
    return Success;
}

void ORTVDumpCommand::print(const ORTVHttpReader::Values &values)
{
    if (options.json) {
        QJsonObject object;
        for (const auto &[key, value] : values)
            object.insert(key, value);
        out << QJsonDocument(object).toJson(QJsonDocument::Indented);
    } else if (options.csv) {
        out << "key,value\n";
        for (const auto &[key, value] : values)
            out << ORTVCsv::field(key) << ',' << ORTVCsv::field(value) << '\n';
    } else {
        qsizetype width = 0;
        for (const auto &kv : values)
            width = std::max(width, kv.first.size());
        for (const auto &[key, value] : values)
            out << key.leftJustified(width) << "  " << value << '\n';
    }
}
