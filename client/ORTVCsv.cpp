#include "ORTVCsv.h"

#include <QRegularExpression>

QString ORTVCsv::field(const QString &text)
{
    static const QRegularExpression special(QStringLiteral("[\",\r\n]"));
    if (!text.contains(special))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QLatin1String("\"\""))
        + QLatin1Char('"');
}
