#pragma once

#include <QByteArrayView>

#include <optional>

// The usual command datagram, read without building a JSON document: a single object whose
// members are all strings of printable ASCII without escapes, each name at most once, such as
// {"cmd":"ReadData","url":"temp"}. Whatever else a datagram holds (arrays, numbers, escapes,
// other text, repeated names, anything malformed) is not read here and goes to the JSON parser,
// so a datagram read here means exactly what the parser would make of it.
class ORTVPlainCommand
{
public:
    static std::optional<ORTVPlainCommand> read(QByteArrayView datagram);

    // Members the core looks at; a view into the datagram, empty when absent.
    std::optional<QByteArrayView> cmd;
    std::optional<QByteArrayView> url;
    std::optional<QByteArrayView> data;
};
