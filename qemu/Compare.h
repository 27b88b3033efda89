// Comparing a run under QEMU with the native run of the same scenario.
//
// QEMU cannot see everything the native board records. Both traces are cut
// down to what both can see, and that is compared exactly (time stamps
// aside):
//   - seen and compared: PCD Get64 (through the shim), GetVariable and
//     SMBus Execute (the helpers' PPIs), every port access other than the
//     ACPI timer's (Super I/O ports, POST), PCI Express configuration
//     accesses, and the end state (clock generator registers, ACPI base and
//     decoding, POST codes);
//   - seen, compared by shape: the ACPI timer's reads. A wait is a run of
//     32-bit reads of one port; both sides must wait at the same places, and
//     each QEMU wait must span at least the ticks the native one needed (less
//     one poll), since the polls themselves and the counter's values differ;
//   - not seen: the entry's and the callback's calls and statuses, LocatePpi
//     and NotifyPpi (the real PEI core answers them), SIDT and PAUSE, and
//     virtual time.
#ifndef CLOCKRAMP_QEMU_COMPARE_H_
#define CLOCKRAMP_QEMU_COMPARE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board/Event.h"

namespace qemu {

// One timer wait: its port, the first and last readings, how many reads.
struct TimerWaitSpan {
  uint16_t port = 0;
  uint32_t first = 0;
  uint32_t last = 0;
  uint64_t reads = 0;
  // Ticks from the first reading to the last (24-bit counter).
  [[nodiscard]] uint32_t Ticks() const { return (last - first) & 0xFFFFFF; }
};

// A trace cut down to what QEMU can see, timer waits collapsed.
struct VisibleTrace {
  std::vector<board::Event> events;  // each wait is one 32-bit "in" line of value 0
  std::vector<TimerWaitSpan> waits;
  uint64_t dropped = 0;  // lines of the kinds QEMU cannot see
};

// Cuts a trace (native or read from QEMU) down to the visible kinds.
VisibleTrace Visible(std::span<const board::Event> events);

struct Comparison {
  std::optional<std::string> difference;  // the first one, described
  uint64_t compared = 0;                  // visible events compared
  uint64_t waits = 0;                     // timer waits compared
  uint64_t notSeen = 0;                   // native lines QEMU cannot see
};

// Compares the visible events, the timer waits and the end states.
Comparison CompareRuns(std::span<const board::Event> native,
                       const board::StateSnapshot& nativeState, std::span<const board::Event> qemu,
                       const board::StateSnapshot& qemuState);

// One poll of the native timer (1 µs at 3,579,545 Hz, rounded up): how far
// short of the native wait a QEMU wait may end.
inline constexpr uint32_t kPollTicks = 4;

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_COMPARE_H_
