// Virtual time of the board, in nanoseconds, and what each kind of access
// costs. An access is stamped with the time at which it begins; values that
// depend on time (the ACPI timer) are sampled then; afterwards the clock
// advances by the access's cost.
#ifndef CLOCKRAMP_BOARD_VIRTUALCLOCK_H_
#define CLOCKRAMP_BOARD_VIRTUALCLOCK_H_

#include <cstdint>

namespace board {

namespace cost {
inline constexpr uint64_t kIoAccessNs = 1000;   // one IN or OUT, any width
inline constexpr uint64_t kMmioAccessNs = 100;  // one memory-mapped access, any width
inline constexpr uint64_t kSmbusBitNs = 10000;  // one bit time at 100 kHz
// PEI service and PPI calls (other than SMBus Execute), SIDT and PAUSE cost
// nothing, so that an engine that cannot see PAUSE keeps identical stamps.
inline constexpr uint64_t kFreeNs = 0;

// Bits on the wire: start and stop (or repeated start) are one bit each, every
// byte is nine (eight plus its acknowledge).
inline constexpr uint64_t kSmbusByteBits = 9;

// Start, address, command, count, n data bytes, stop.
constexpr uint64_t SmbusBlockWriteBits(uint64_t bytes) { return 2 + kSmbusByteBits * (3 + bytes); }

// Start, address, command, repeated start, address, count, n data bytes, stop.
constexpr uint64_t SmbusBlockReadBits(uint64_t bytes) { return 3 + kSmbusByteBits * (4 + bytes); }

// A transaction that fails: start, the address byte, stop (the device refuses
// or the transfer is abandoned after its address).
inline constexpr uint64_t kSmbusFailedBits = 2 + kSmbusByteBits;
}  // namespace cost

// A monotonic nanosecond counter that only moves when an access is charged.
class VirtualClock {
 public:
  [[nodiscard]] uint64_t Now() const { return now_; }
  void Advance(uint64_t ns) { now_ += ns; }

 private:
  uint64_t now_ = 0;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_VIRTUALCLOCK_H_
