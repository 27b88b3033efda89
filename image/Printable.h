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

}  // namespace clockramp::files

#endif  // CLOCKRAMP_IMAGE_PRINTABLE_H_
