#include "image/Printable.h"

#include <algorithm>

namespace clockramp::files {

std::string Printable(std::string_view text, size_t limit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::min(text.size(), limit) + 8);
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  if (text.size() > limit) {
    out += "...";
  }
  return out;
}

}  // namespace clockramp::files
