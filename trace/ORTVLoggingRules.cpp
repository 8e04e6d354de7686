#include "ORTVLoggingRules.h"
#include "ORTVSignalPipe.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QStringDecoder>

#include <csignal>

namespace {

// The one file this process reads its rules from; set before the application object exists.
QString &configFile()
{
    static QString path;
    return path;
}

} // namespace

void ORTVLoggingRules::holdHangups()
{
    ORTVSignalPipe::holdSignals({SIGHUP});
}

void ORTVLoggingRules::takeOverConfigFile()
{
    configFile() = qEnvironmentVariable("QT_LOGGING_CONF");
    qunsetenv("QT_LOGGING_CONF");
}

ORTVLoggingRules::ORTVLoggingRules(QObject *parent)
    : QObject(parent)
    , path(configFile())
{
    if (!path.isEmpty())
        apply();
    auto *hangups = new ORTVSignalPipe({SIGHUP}, this);
    // Without the pipe SIGHUP stays held: it then changes nothing, rather than ending the process.
    if (!hangups->isWatching())
        qWarning() << "Cannot watch for SIGHUP: logging rules are read at start only";
    connect(hangups, &ORTVSignalPipe::caught, this, &ORTVLoggingRules::hangupReceived);
}

void ORTVLoggingRules::hangupReceived()
{
    if (path.isEmpty()) {
        qWarning() << "SIGHUP: no logging rules file to reload (QT_LOGGING_CONF is not set)";
        return;
    }
    if (apply())
        qInfo().noquote() << "Logging rules reloaded from" << path;
}

bool ORTVLoggingRules::apply()
{
    QFile file(path);
    QString problem;
    QByteArray content;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        content = file.readAll();
        problem = file.error() == QFileDevice::NoError ? problemWith(content) : file.errorString();
    } else {
        problem = file.errorString();
    }
    if (!problem.isEmpty()) {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        qWarning().noquote() << "Cannot use logging rules from" << path << ":" << problem
                             << "(debug lines off)";
        return false;
    }
    // Qt's rule parser takes the file's [Rules] section as it stands.
    QLoggingCategory::setFilterRules(QString::fromUtf8(content));
    return true;
}

// The file's format as Qt reads it: "[section]" headers, comments starting with ';' (and the
// '#' lines our own file uses), and in the Rules section (and before any section) lines of
// the form "category.type=true|false".
QString ORTVLoggingRules::problemWith(const QByteArray &content)
{
    // An empty file is most likely one cut short, not a wish for Qt's defaults.
    if (content.trimmed().isEmpty())
        return QStringLiteral("empty");
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(content);
    if (utf8.hasError())
        return QStringLiteral("not UTF-8 text");
    bool inRules = true;
    int lineNumber = 0;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        ++lineNumber;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            inRules = line.mid(1, line.size() - 2).trimmed().compare(
                          QLatin1String("rules"), Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inRules)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString value = line.mid(equals + 1).trimmed();
        if (equals <= 0 || line.indexOf(QLatin1Char('='), equals + 1) >= 0
            || line.left(equals).trimmed().isEmpty()
            || (value != QLatin1String("true") && value != QLatin1String("false"))) {
            return QStringLiteral("line %1 is not a rule").arg(lineNumber);
        }
    }
    return QString();
}
