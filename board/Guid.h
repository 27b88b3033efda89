// GUIDs as the board handles them: the EFI_GUID field layout, compared by
// value and printed in the upper-case registry form used by the trace.
#ifndef CLOCKRAMP_BOARD_GUID_H_
#define CLOCKRAMP_BOARD_GUID_H_

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace board {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  auto operator<=>(const Guid&) const = default;

  // "9CA93627-B65B-4324-A202-C0B461764543".
  [[nodiscard]] std::string ToString() const;
  // Parses the registry form (either case); nullopt when malformed.
  static std::optional<Guid> Parse(std::string_view text);
};

// The GUIDs of the PPIs and variables the board provides.
namespace guids {
inline constexpr Guid kSmbus2Ppi{
    0x9CA93627, 0xB65B, 0x4324, {0xA2, 0x02, 0xC0, 0xB4, 0x61, 0x76, 0x45, 0x43}};
inline constexpr Guid kReadOnlyVariable2Ppi{
    0x2AB86EF5, 0xECB5, 0x4134, {0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4}};
inline constexpr Guid kPcdPpi{
    0x06E81C58, 0x4AD7, 0x44BC, {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}};
inline constexpr Guid kSetupVariable{
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr Guid kPchRcConfigurationVariable{
    0xD19A26A3, 0x17F1, 0x48C3, {0x8A, 0x1E, 0x11, 0xEB, 0x0A, 0x7F, 0x6E, 0x4E}};
}  // namespace guids

}  // namespace board

#endif  // CLOCKRAMP_BOARD_GUID_H_
