#include "ORTVDumpCommand.h"
#include "ORTVGetCommand.h"
#include "ORTVLocale.h"
#include "ORTVPingCommand.h"
#include "ORTVTimeCommand.h"
#include "ORTVWatchCommand.h"
#include "ORTVWriteCommands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

struct Command
{
    const char *name;
    const char *arguments;
    const char *argumentHelp;
    const char *help;
};

const Command commands[] = {
    {"set", "URL VALUE [URL VALUE ...]", "Keys and the values to store in them.",
     "Stores values in one datagram that also reads them back, and checks that each value reads\n"
     "back as stored: UDP may lose a datagram, this tells you whether the write arrived.\n"
     "Plain VALUEs are stored as text. With --json a VALUE is a JSON value: a string, or a\n"
     "number, which the server keeps with 6 significant digits (the stored form is printed\n"
     "when it differs). The server stores nothing for true, false, null, objects and arrays:\n"
     "those are refused. A URL given twice stores its last VALUE. Put -- before a VALUE that\n"
     "starts with '-'.\n\n"
     "Examples:\n  ortv set temp 21.5 mode auto\n  ortv set --json count 1234567 -- offset -3"},
    {"get", "URL...", "Keys to read.",
     "Reads values in one datagram and prints each on its own line, in the order asked, exactly\n"
     "as stored; a URL that was never set prints an empty line.\n\n"
     "Example:\n  ortv get --with-url temp mode"},
    {"watch", "URL...", "Keys to watch.",
     "Reads the values every --interval seconds and prints a line (local time, URL, value,\n"
     "tab-separated) for each value that changed, the first time for all. Ctrl+C ends it.\n\n"
     "Example:\n  ortv watch --interval 0.5 temp mode"},
    {"dump", "", "",
     "Prints every stored value from the HTTP page /Data, sorted by key: key and value in\n"
     "aligned columns, or as JSON or CSV.\n\n"
     "Example:\n  ortv dump --match 'com.orvane.*' --csv"},
    {"load", "FILE", "A file written by 'ortv dump --json', or - for standard input.",
     "Stores every value of FILE, in as few datagrams as hold them, each confirmed by reading\n"
     "the values back as 'set' does: for backups, and for moving an installation's values to\n"
     "another server. Values already stored under other keys stay.\n\n"
     "Example:\n  ortv dump --json > values.json && ortv --host 192.0.2.10 load values.json"},
    {"ping", "", "",
     "Checks the HTTP page /Status, then times ReadData round trips (no retries) and prints\n"
     "their minimum, median, 99th percentile and maximum. Exit status 0 when the status page\n"
     "says success and at least one round trip came back: fit for health checks.\n\n"
     "Example:\n  ortv ping -c 10 --host 192.0.2.10"},
    {"time", "", "",
     "Waits up to 30 s for the server's keep-alive frame and prints the server's UTC time and\n"
     "its offset from this machine's clock.\n\n"
     "Example:\n  ortv time"},
};

const char *mainHelp =
    "Reads and writes the values of an ORTV data server (UDP port 1234, HTTP port 8080).\n\n"
    "Commands:\n"
    "  set URL VALUE...  store values and check that they read back\n"
    "  get URL...        print values\n"
    "  watch URL...      print a line whenever a value changes\n"
    "  dump              print every stored value\n"
    "  load FILE         store every value of a 'dump --json' file\n"
    "  ping              check that the server answers; round-trip times\n"
    "  time              print the server's clock and its offset from this machine's\n\n"
    "Source ports: the server keeps every endpoint that ever wrote to it as a peer and sends it\n"
    "a keep-alive frame every 29 s for as long as it runs. So ortv sends from the first free\n"
    "port of 1235 to 1244, and repeated calls come back as the same few peers.\n\n"
    "Exit status: 0 success, 1 the server did not answer in time (or a value did not read\n"
    "back), 2 usage error.\n\n"
    "Examples:\n"
    "  ortv set temp 21.5\n"
    "  ortv get temp\n"
    "  ortv --host 192.0.2.10 dump\n\n"
    "Run 'ortv COMMAND --help' for a command's options.";

const Command *findCommand(const QString &name)
{
    for (const Command &command : commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QList<QCommandLineOption> commonOptions()
{
    return {
        {QStringLiteral("host"), QStringLiteral("Server name or address (default 127.0.0.1)."),
         QStringLiteral("HOST"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Server UDP port (default 1234)."),
         QStringLiteral("PORT"), QStringLiteral("1234")},
        {QStringLiteral("http-port"), QStringLiteral("Server HTTP port (default 8080)."),
         QStringLiteral("PORT"), QStringLiteral("8080")},
        {QStringLiteral("timeout"), QStringLiteral("Time to wait for an answer (default 1000)."),
         QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("retries"),
         QStringLiteral("Times a request asks again for missing replies (default 2)."),
         QStringLiteral("N"), QStringLiteral("2")},
        {QStringLiteral("source-port"),
         QStringLiteral("Local UDP port to send from; 0 for one the system picks (default: "
                        "the first free one of 1235 to 1244)."),
         QStringLiteral("PORT")},
    };
}

QList<QCommandLineOption> commandOptions(const QString &name)
{
    const QString json = QStringLiteral("json");
    if (name == QLatin1String("set"))
        return {{json,
                 QStringLiteral("Take each VALUE as a JSON value (a number stays a number).")},
                {QStringLiteral("no-confirm"), QStringLiteral("Send and return at once.")}};
    if (name == QLatin1String("get"))
        return {{json, QStringLiteral("Print each reply as a JSON line.")},
                {QStringLiteral("with-url"), QStringLiteral("Print URL<TAB>VALUE lines.")}};
    if (name == QLatin1String("watch"))
        return {{QStringLiteral("interval"), QStringLiteral("Seconds between reads (default 1)."),
                 QStringLiteral("S"), QStringLiteral("1")}};
    if (name == QLatin1String("dump"))
        return {{json, QStringLiteral("Print one pretty JSON object, key -> value.")},
                {QStringLiteral("csv"), QStringLiteral("Print CSV with a key,value header.")},
                {QStringLiteral("match"), QStringLiteral("Only keys matching PATTERN (* and ?)."),
                 QStringLiteral("PATTERN")}};
    if (name == QLatin1String("ping"))
        return {{{QStringLiteral("c"), QStringLiteral("count")},
                 QStringLiteral("Number of round trips (default 5)."), QStringLiteral("N"),
                 QStringLiteral("5")}};
    return {};
}

// An option's number within [low, high] (a whole one unless `fraction`), or nothing.
std::optional<double> number(const QCommandLineParser &parser, const QString &name, double low,
                             double high, bool fraction = false)
{
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || value < low || value > high || (!fraction && value != std::floor(value)))
        return std::nullopt;
    return value;
}

// The server's address: an IPv4 one when the name has several, as the server listens on IPv4.
std::optional<QHostAddress> resolve(const QString &host)
{
    QHostAddress address;
    if (address.setAddress(host))
        return address;
    const QList<QHostAddress> found = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &candidate : found) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate;
    }
    if (found.isEmpty())
        return std::nullopt;
    return found.first();
}

int usageError(const QString &message)
{
    QTextStream(stderr) << "ortv: " << message << Qt::endl;
    return ORTVCommand::UsageError;
}

// Reads the options into `options`; returns an error message for a bad one.
QString readOptions(const QCommandLineParser &parser, ORTVCommandOptions &options)
{
    struct Limited { const char *name; double low; double high; };
    for (const Limited &o : {Limited{"port", 1, 65535}, Limited{"http-port", 1, 65535},
                             Limited{"timeout", 1, 3600000}, Limited{"retries", 0, 1000}}) {
        if (!number(parser, QLatin1String(o.name), o.low, o.high))
            return QStringLiteral("--%1 %2 is out of range or not a whole number")
                .arg(QLatin1String(o.name), parser.value(QLatin1String(o.name)));
    }
    options.host = parser.value(QStringLiteral("host"));
    options.port = quint16(parser.value(QStringLiteral("port")).toUInt());
    options.httpPort = quint16(parser.value(QStringLiteral("http-port")).toUInt());
    options.timeoutMs = parser.value(QStringLiteral("timeout")).toInt();
    options.retries = parser.value(QStringLiteral("retries")).toInt();
    if (parser.isSet(QStringLiteral("source-port"))) {
        if (!number(parser, QStringLiteral("source-port"), 0, 65535))
            return QStringLiteral("--source-port must be a whole number from 0 to 65535");
        options.sourcePort = parser.value(QStringLiteral("source-port")).toInt();
    }
    const QStringList names = parser.optionNames();
    options.json = names.contains(QLatin1String("json"));
    options.noConfirm = names.contains(QLatin1String("no-confirm"));
    options.withUrl = names.contains(QLatin1String("with-url"));
    options.csv = names.contains(QLatin1String("csv"));
    if (options.json && options.csv)
        return QStringLiteral("--json and --csv exclude each other");
    if (names.contains(QLatin1String("match")))
        options.match = parser.value(QStringLiteral("match"));
    if (names.contains(QLatin1String("interval"))) {
        const std::optional<double> interval =
            number(parser, QStringLiteral("interval"), 0.01, 86400, true);
        if (!interval)
            return QStringLiteral("--interval must be 0.01 to 86400 seconds");
        options.intervalS = *interval;
    }
    if (names.contains(QLatin1String("c")) || names.contains(QLatin1String("count"))) {
        const std::optional<double> count = number(parser, QStringLiteral("count"), 1, 100000);
        if (!count)
            return QStringLiteral("-c must be a whole number from 1 to 100000");
        options.count = int(*count);
    }
    return {};
}

int run(const Command &command, const QStringList &args, const ORTVCommandOptions &options)
{
    const QString name = QLatin1String(command.name);
    if (!*command.arguments && !args.isEmpty())
        return usageError(QStringLiteral("%1 takes no arguments").arg(name));
    if (name == QLatin1String("set"))
        return ORTVWriteCommands(options).set(args);
    if (name == QLatin1String("get"))
        return ORTVGetCommand(options).run(args);
    if (name == QLatin1String("watch"))
        return ORTVWatchCommand(options).run(args);
    if (name == QLatin1String("dump"))
        return ORTVDumpCommand(options).run();
    if (name == QLatin1String("load"))
        return args.size() == 1 ? ORTVWriteCommands(options).load(args.first())
                                : usageError(QStringLiteral("load takes one FILE"));
    if (name == QLatin1String("ping"))
        return ORTVPingCommand(options).run();
    return ORTVTimeCommand(options).run();
}

// The command named first on the command line, found with every option known, so that an
// option's value is not taken for it.
QString commandName(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions(commonOptions());
    QStringList added;
    for (const Command &command : commands) {
        for (const QCommandLineOption &option : commandOptions(QLatin1String(command.name))) {
            if (!added.contains(option.names().constFirst()))
                parser.addOption(option);
            added += option.names();
        }
    }
    parser.parse(arguments);
    return parser.positionalArguments().value(0);
}

// Without a known command: --help, --version, or a usage error.
int withoutCommand(const QStringList &arguments, const QString &name)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(mainHelp));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions(commonOptions());
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("set, get, watch, dump, ping or time."),
                                 QStringLiteral("COMMAND [ARGUMENTS]"));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(version))
        parser.showVersion();
    if (parser.isSet(help)) {
        QTextStream(stdout) << parser.helpText();
        return ORTVCommand::Success;
    }
    return usageError(name.isEmpty()
                          ? QStringLiteral("no command given (see ortv --help)")
                          : QStringLiteral("unknown command '%1' (see ortv --help)").arg(name));
}

// Parses the command's own options and runs it.
int withCommand(const QStringList &arguments, const Command &command)
{
    const QString name = QLatin1String(command.name);
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(command.help));
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOptions(commandOptions(name));
    parser.addOptions(commonOptions());
    parser.addPositionalArgument(name, QStringLiteral("The command."), name);
    if (*command.arguments)
        parser.addPositionalArgument(QStringLiteral("arguments"),
                                     QLatin1String(command.argumentHelp),
                                     QLatin1String(command.arguments));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        QTextStream(stdout) << parser.helpText();
        return ORTVCommand::Success;
    }

    ORTVCommandOptions options;
    const QString optionError = readOptions(parser, options);
    if (!optionError.isEmpty())
        return usageError(optionError);
    const std::optional<QHostAddress> address = resolve(options.host);
    if (!address) {
        QTextStream(stderr) << "ortv: cannot resolve host " << options.host << Qt::endl;
        return ORTVCommand::NoAnswer;
    }
    options.address = *address;
    return run(command, parser.positionalArguments().mid(1), options);
}

} // namespace

int main(int argc, char **argv)
{
    ORTVLocale::useUtf8();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ortv"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORTV_VERSION));
    // The server is on the local network: no proxy, and no helper thread to look one up.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    const QStringList arguments = QCoreApplication::arguments();
    const QString name = commandName(arguments);
    const Command *command = findCommand(name);
    return command ? withCommand(arguments, *command) : withoutCommand(arguments, name);
}
