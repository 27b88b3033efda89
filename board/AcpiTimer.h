// The ACPI power-management timer: a 24-bit counter running at 3,579,545 Hz
// of virtual time, value(t) = (start + floor(t * 3579545 / 10^9)) mod 2^24.
// For robustness runs it can be frozen (never moves from its start value) or
// stop counting at a chosen time. Where it answers is the board's business
// (the platform controller's ACPI base + 8, while decoding is on).
#ifndef CLOCKRAMP_BOARD_ACPITIMER_H_
#define CLOCKRAMP_BOARD_ACPITIMER_H_

#include <cstdint>

namespace board {

enum class TimerMode : uint8_t {
  Running,     // counts for ever
  Frozen,      // always reads its start value
  StopsAfter,  // counts until a given time, then holds that value
};

class AcpiTimer {
 public:
  static constexpr uint64_t kFrequencyHz = 3579545;
  static constexpr uint32_t kMask = 0xFFFFFF;
  static constexpr uint16_t kPortOffset = 8;  // from the ACPI I/O base

  explicit AcpiTimer(uint32_t start = 0, TimerMode mode = TimerMode::Running,
                     uint64_t stopAfterNs = 0)
      : start_(start & kMask), mode_(mode), stopAfterNs_(stopAfterNs) {}

  // The counter at virtual time t (ns).
  [[nodiscard]] uint32_t ValueAt(uint64_t tNs) const;

  // Whole ticks in t ns, exact for every 64-bit t.
  static uint64_t TicksAt(uint64_t tNs);

 private:
  uint32_t start_;
  TimerMode mode_;
  uint64_t stopAfterNs_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_ACPITIMER_H_
