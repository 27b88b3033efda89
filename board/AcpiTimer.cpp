#include "board/AcpiTimer.h"

#include <algorithm>
#include <cstdint>

namespace board {

uint64_t AcpiTimer::TicksAt(uint64_t tNs) {
  // Split t into whole seconds and the rest so no product overflows 64 bits:
  // seconds * f < 2^64 / 10^9 * 3.6e6 and rest * f < 10^9 * 3.6e6.
  constexpr uint64_t kNsPerSecond = 1000000000;
  // Below about 85 minutes the product fits as it is: one division instead
  // of three on the path of every timer reading.
  constexpr uint64_t kDirect = UINT64_MAX / kFrequencyHz;
  if (tNs <= kDirect) {
    return tNs * kFrequencyHz / kNsPerSecond;
  }
  uint64_t seconds = tNs / kNsPerSecond;
  uint64_t rest = tNs % kNsPerSecond;
  return seconds * kFrequencyHz + rest * kFrequencyHz / kNsPerSecond;
}

uint32_t AcpiTimer::ValueAt(uint64_t tNs) const {
  uint64_t elapsed = tNs;
  if (mode_ == TimerMode::Frozen) {
    elapsed = 0;
  } else if (mode_ == TimerMode::StopsAfter) {
    elapsed = std::min(tNs, stopAfterNs_);
  }
  return static_cast<uint32_t>((start_ + TicksAt(elapsed)) & kMask);
}

}  // namespace board
