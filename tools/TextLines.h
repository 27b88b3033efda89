// Reading the text files a board hands us (register dumps, decoder output):
// the whole file, and its lines.
#ifndef CLOCKRAMP_TOOLS_TEXTLINES_H_
#define CLOCKRAMP_TOOLS_TEXTLINES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clockramp::tool {

// The file's contents; nullopt when it cannot be opened or read.
std::optional<std::string> ReadTextFile(const std::string& path);

// The lines of a text, without their line ends ("\n", or "\r\n" from a
// file saved on Windows); line i of the result is line i + 1 of the text.
std::vector<std::string_view> SplitLines(std::string_view text);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TEXTLINES_H_
