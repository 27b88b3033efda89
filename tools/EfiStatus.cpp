#include "tools/EfiStatus.h"

#include <array>
#include <charconv>
#include <utility>

#include <fmt/format.h>

namespace clockramp::tool {
namespace {

constexpr uint32_t kError = 0x80000000U;

struct Named {
  uint32_t status;
  std::string_view name;
};

constexpr std::array kNames = {
    Named{0, "EFI_SUCCESS"},
    Named{kError | 1, "EFI_LOAD_ERROR"},
    Named{kError | 2, "EFI_INVALID_PARAMETER"},
    Named{kError | 3, "EFI_UNSUPPORTED"},
    Named{kError | 4, "EFI_BAD_BUFFER_SIZE"},
    Named{kError | 5, "EFI_BUFFER_TOO_SMALL"},
    Named{kError | 6, "EFI_NOT_READY"},
    Named{kError | 7, "EFI_DEVICE_ERROR"},
    Named{kError | 8, "EFI_WRITE_PROTECTED"},
    Named{kError | 9, "EFI_OUT_OF_RESOURCES"},
    Named{kError | 10, "EFI_VOLUME_CORRUPTED"},
    Named{kError | 11, "EFI_VOLUME_FULL"},
    Named{kError | 12, "EFI_NO_MEDIA"},
    Named{kError | 13, "EFI_MEDIA_CHANGED"},
    Named{kError | 14, "EFI_NOT_FOUND"},
    Named{kError | 15, "EFI_ACCESS_DENIED"},
    Named{kError | 16, "EFI_NO_RESPONSE"},
    Named{kError | 17, "EFI_NO_MAPPING"},
    Named{kError | 18, "EFI_TIMEOUT"},
    Named{kError | 19, "EFI_NOT_STARTED"},
    Named{kError | 20, "EFI_ALREADY_STARTED"},
    Named{kError | 21, "EFI_ABORTED"},
    Named{kError | 22, "EFI_ICMP_ERROR"},
    Named{kError | 23, "EFI_TFTP_ERROR"},
    Named{kError | 24, "EFI_PROTOCOL_ERROR"},
    Named{kError | 25, "EFI_INCOMPATIBLE_VERSION"},
    Named{kError | 26, "EFI_SECURITY_VIOLATION"},
    Named{kError | 27, "EFI_CRC_ERROR"},
    Named{kError | 28, "EFI_END_OF_MEDIA"},
    Named{kError | 31, "EFI_END_OF_FILE"},
    Named{kError | 32, "EFI_INVALID_LANGUAGE"},
    Named{kError | 33, "EFI_COMPROMISED_DATA"},
    Named{1, "EFI_WARN_UNKNOWN_GLYPH"},
    Named{2, "EFI_WARN_DELETE_FAILURE"},
    Named{3, "EFI_WARN_WRITE_FAILURE"},
    Named{4, "EFI_WARN_BUFFER_TOO_SMALL"},
    Named{5, "EFI_WARN_STALE_DATA"},
};

// A whole string parsed as an unsigned 32-bit number in the given base.
std::optional<uint32_t> ParseWhole(std::string_view text, int base) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string StatusName(uint32_t status) {
  for (const Named& n : kNames) {
    if (n.status == status) {
      return std::string(n.name);
    }
  }
  return fmt::format("0x{:08X}", status);
}

std::optional<uint32_t> StatusFromName(std::string_view name) {
  for (const Named& n : kNames) {
    if (n.name == name) {
      return n.status;
    }
  }
  if (name.starts_with("0x") || name.starts_with("0X")) {
    return ParseWhole(name.substr(2), 16);
  }
  return ParseWhole(name, 10);
}

}  // namespace clockramp::tool
