// Text from an input file or a command line, made safe to print in a
// one-line message: control characters (terminal escape sequences among
// them), bytes that are not printable ASCII and backslashes are written as
// \xNN escapes, and an overlong text is cut with "...".
#ifndef CLOCKRAMP_IMAGE_PRINTABLE_H_
#define CLOCKRAMP_IMAGE_PRINTABLE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace clockramp::files {

// `text` with every byte outside 0x20..0x7E (and every '\') escaped as \xNN;
// at most `limit` bytes of `text` are shown, then "...".
std::string Printable(std::string_view text, size_t limit = 200);

// The same for text shown as text (a scenario's description in a summary):
// well-formed UTF-8 ("255 µs") is kept, but control characters, C1 controls
// (U+0080..U+009F), the line and paragraph separators, the bidirectional
// overrides and isolates, and every byte that is not part of well-formed
// UTF-8 are escaped as \xNN, byte by byte. Nothing is cut.
std::string PrintableUtf8(std::string_view text);

}  // namespace clockramp::files

#endif  // CLOCKRAMP_IMAGE_PRINTABLE_H_
