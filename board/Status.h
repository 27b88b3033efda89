// Status values the board answers with, as 32-bit EFI_STATUS numbers (an
// error has bit 31 set). Kept here so the board does not depend on the
// module's headers.
#ifndef CLOCKRAMP_BOARD_STATUS_H_
#define CLOCKRAMP_BOARD_STATUS_H_

#include <cstdint>

namespace board {

inline constexpr uint32_t kEfiSuccess = 0;
inline constexpr uint32_t kEfiInvalidParameter = 0x80000002U;
inline constexpr uint32_t kEfiUnsupported = 0x80000003U;
inline constexpr uint32_t kEfiBufferTooSmall = 0x80000005U;
inline constexpr uint32_t kEfiDeviceError = 0x80000007U;
inline constexpr uint32_t kEfiNotFound = 0x8000000EU;
inline constexpr uint32_t kEfiAborted = 0x80000015U;

// True when a status reports an error (negative as a signed 32-bit number).
constexpr bool IsError(uint32_t status) { return (status & 0x80000000U) != 0; }

}  // namespace board

#endif  // CLOCKRAMP_BOARD_STATUS_H_
