#include "image/Printable.h"

#include <algorithm>
#include <cstdint>

namespace clockramp::files {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void Escape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The length of the well-formed UTF-8 sequence at the start of `text` (a
// character above U+007F), and its code point; 0 when there is none.
size_t Utf8Sequence(std::string_view text, uint32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 0;
  unsigned char low = 0x80;   // the second byte's range, which rules out
  unsigned char high = 0xBF;  // overlong forms, surrogates and > U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0FU;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07U;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
      return 0;
    }
    codePoint = (codePoint << 6) | (byte & 0x3FU);
  }
  return length;
}

// Characters that move or reorder what a terminal shows around them.
bool IsFormatControl(uint32_t c) {
  return c <= 0x9F || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string Printable(std::string_view text, size_t limit) {
  std::string out;
  out.reserve(std::min(text.size(), limit) + 8);
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
      out += static_cast<char>(byte);
    } else {
      Escape(out, byte);
    }
  }
  if (text.size() > limit) {
    out += "...";
  }
  return out;
}

std::string PrintableUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = byte >= 0x80 ? Utf8Sequence(text.substr(i), codePoint) : 0;
    if (length != 0 && !IsFormatControl(codePoint)) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    for (size_t end = i + std::max<size_t>(length, 1); i < end; ++i) {
      Escape(out, static_cast<unsigned char>(text[i]));
    }
  }
  return out;
}

}  // namespace clockramp::files
