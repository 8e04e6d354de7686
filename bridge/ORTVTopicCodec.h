#pragma once

#include <QString>

#include <optional>

// Turns data keys into MQTT topic levels and back. A key keeps its '/' as level separators;
// what MQTT forbids or treats specially in a topic name is written as an escape:
//   %XX    (two hex digits) for '%' itself, '+', '#', NUL and the other control characters
//          (U+0001-U+001F, U+007F-U+009F), and a '$' that starts the key;
//   %uXXXX (four hex digits, one UTF-16 code unit) for what has no valid UTF-8 form or what
//          MQTT forbids beyond Latin-1: lone surrogates and the noncharacters (U+FDD0-U+FDEF
//          and every code point ending in FFFE or FFFF, written as their two code units);
//   %      alone for the empty key.
// Decoding accepts every escape in upper or lower case, so any key has exactly one topic but a
// topic typed by hand may name a key in more than one way.
class ORTVTopicCodec
{
public:
    static QString encode(const QString &key);
    // The key a topic (the part after PREFIX/data/ or PREFIX/set/) names, or nothing for a topic
    // that names none: empty, a '+' or '#', a '%' that starts no escape.
    static std::optional<QString> decode(const QString &topic);
};
