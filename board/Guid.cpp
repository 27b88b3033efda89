#include "board/Guid.h"

#include <cstdio>

namespace board {
namespace {

// Value of one hex digit, or -1.
int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Reads `digits` hex digits from text at pos (advancing it); nullopt when one is missing.
std::optional<uint32_t> ReadHex(std::string_view text, size_t& pos, unsigned digits) {
  uint32_t value = 0;
  for (unsigned i = 0; i < digits; ++i, ++pos) {
    int d = pos < text.size() ? HexDigit(text[pos]) : -1;
    if (d < 0) {
      return std::nullopt;
    }
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return value;
}

// Consumes a dash at pos.
bool ReadDash(std::string_view text, size_t& pos) {
  if (pos >= text.size() || text[pos] != '-') {
    return false;
  }
  ++pos;
  return true;
}

}  // namespace

std::string Guid::ToString() const {
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1, data2,
                data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6],
                data4[7]);
  return text;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() != 36) {
    return std::nullopt;
  }
  size_t pos = 0;
  Guid guid;
  auto d1 = ReadHex(text, pos, 8);
  auto d2 = ReadDash(text, pos) ? ReadHex(text, pos, 4) : std::nullopt;
  auto d3 = ReadDash(text, pos) ? ReadHex(text, pos, 4) : std::nullopt;
  if (!d1 || !d2 || !d3 || !ReadDash(text, pos)) {
    return std::nullopt;
  }
  guid.data1 = *d1;
  guid.data2 = static_cast<uint16_t>(*d2);
  guid.data3 = static_cast<uint16_t>(*d3);
  for (size_t i = 0; i < 8; ++i) {
    if (i == 2 && !ReadDash(text, pos)) {
      return std::nullopt;
    }
    auto byte = ReadHex(text, pos, 2);
    if (!byte) {
      return std::nullopt;
    }
    guid.data4[i] = static_cast<uint8_t>(*byte);
  }
  return guid;
}

}  // namespace board
