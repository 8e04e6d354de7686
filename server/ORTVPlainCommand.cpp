#include "ORTVPlainCommand.h"
#include "ORTVPlainText.h"

namespace {

class Reader
{
public:
    explicit Reader(QByteArrayView text) : at(text.begin()), end(text.end()) {}

    // JSON's whitespace: space, tab, line feed, carriage return.
    void skipSpace()
    {
        while (at != end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
            ++at;
    }
    bool take(char c)
    {
        skipSpace();
        if (at == end || *at != c)
            return false;
        ++at;
        return true;
    }
    // A string of printable ASCII without the quote and the backslash, as is.
    std::optional<QByteArrayView> plainString()
    {
        if (!take('"'))
            return std::nullopt;
        const char *start = at;
        while (at != end && *at != '"') {
            if (!ORTVPlainText::isPlain(static_cast<unsigned char>(*at)))
                return std::nullopt;
            ++at;
        }
        if (at == end)
            return std::nullopt;
        return QByteArrayView(start, at++ - start);
    }
    bool atEnd()
    {
        skipSpace();
        return at == end;
    }

private:
    const char *at;
    const char *end;
};

// Stores a member the core looks at; false when the name came before.
bool put(std::optional<QByteArrayView> &member, QByteArrayView value)
{
    if (member)
        return false;
    member = value;
    return true;
}

} // namespace

std::optional<ORTVPlainCommand> ORTVPlainCommand::read(QByteArrayView datagram)
{
    Reader reader(datagram);
    if (!reader.take('{'))
        return std::nullopt;
    ORTVPlainCommand command;
    do {
        const std::optional<QByteArrayView> name = reader.plainString();
        if (!name || !reader.take(':'))
            return std::nullopt;
        const std::optional<QByteArrayView> value = reader.plainString();
        if (!value)
            return std::nullopt;
        std::optional<QByteArrayView> *member = *name == "cmd" ? &command.cmd
            : *name == "url"                                    ? &command.url
            : *name == "data"                                   ? &command.data
                                                                : nullptr;
        // Other members go unread; a name given twice is left to the parser's rules.
        if (member && !put(*member, *value))
            return std::nullopt;
    } while (reader.take(','));
    if (!reader.take('}') || !reader.atEnd())
        return std::nullopt;
    return command;
}
