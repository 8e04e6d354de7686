#pragma once

namespace ORTVPlainText {

// True for a character that JSON strings and the debug stream's quoting both write as it is:
// printable ASCII other than the quote and the backslash. Every fast path that copies text
// without escaping it tests with this.
constexpr bool isPlain(char16_t c)
{
    return c >= 0x20 && c < 0x7f && c != u'"' && c != u'\\';
}

} // namespace ORTVPlainText
