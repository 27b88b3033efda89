// Numbers on the command line, read the way a person writes them: decimal
// digits only. "010" is ten (not octal eight), and "-1", "1e3", "0x10" or a
// value past the range are refused with the text as it was written, never
// wrapped ("-1" read as 2^64 - 1) or truncated.
#ifndef CLOCKRAMP_TOOLS_CLINUMBERS_H_
#define CLOCKRAMP_TOOLS_CLINUMBERS_H_

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "image/Printable.h"

namespace clockramp::tool {

// The value of a text of decimal digits; nullopt for anything else (a sign,
// a space, another base) and for a value past 64 bits.
inline std::optional<uint64_t> ParseDecimal(std::string_view text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || text.front() == '-' || ec != std::errc{} || stop != end) {
    return std::nullopt;
  }
  return value;
}

// Checks an option's text as a decimal number from `min` to `max` and hands
// it on without leading zeros, so that CLI11's own conversion (which takes a
// leading 0 for octal) reads it as decimal. Give it to an option with
// ->transform(): ->check() would hand on the text as written.
inline CLI::Validator DecimalRange(uint64_t min, uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        const std::optional<uint64_t> value = ParseDecimal(text);
        if (!value || *value < min || *value > max) {
          return fmt::format("{} is not a decimal number from {} to {}", files::Printable(text),
                             min, max);
        }
        text = std::to_string(*value);
        return {};
      },
      "");
}

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_CLINUMBERS_H_
