// Reading a run back from its trace: the devices replayed from the recorded
// accesses (through the board's own device models), the ACPI timer waits and
// the ramp steps. The summary, the -v listing and the VCD timeline are built
// on these.
#ifndef CLOCKRAMP_TOOLS_TRACEANALYSIS_H_
#define CLOCKRAMP_TOOLS_TRACEANALYSIS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "board/BoardConfig.h"
#include "board/ClockGenerator.h"
#include "board/Event.h"
#include "board/PlatformController.h"
#include "board/SuperIo.h"

namespace clockramp::tool {

// The port the module polls the ACPI PM timer at (ACPI base 0x500 + 8).
inline constexpr uint16_t kTimerPort = 0x508;
inline constexpr uint8_t kPostStepBegin = 0xC4;  // first POST code of a guarded step

// How long an access took: the next line's t minus its own (0 for the last).
uint64_t Duration(std::span<const board::Event> events, size_t index);

// The clock generator's stored registers, replayed from the SMBus writes that
// succeeded (a warning included: the device took the bytes).
class ClockGenReplay {
 public:
  explicit ClockGenReplay(const board::BoardConfig& config);
  // Applies a block write that did not fail; false for any other line.
  bool Apply(const board::Event& event);
  [[nodiscard]] uint8_t Register(uint8_t reg) const { return device_.Register(reg); }
  [[nodiscard]] uint16_t Code() const { return device_.Code(); }

 private:
  board::ClockGenerator device_;
};

// One Super I/O port access, as the chip took it.
struct SioAccess {
  enum class Kind : uint8_t {
    Key,       // entry key, exit key or register selection at the index port
    Select,    // logical device selected (register 0x07 written)
    Register,  // a global or logical-device register read or written
    IndexRead, // the index port read back
    Ignored,   // a data-port access outside configuration mode
  };
  Kind kind = Kind::Key;
  bool write = false;
  bool global = false;  // Register: a global register (below 0x30)
  uint8_t device = 0;   // Register: the logical device selected
  uint8_t reg = 0;      // Register: the register
  uint8_t value = 0;    // the value written or read
};

// The Super I/O chip replayed from the 8-bit accesses at ports 0x2E/0x2F.
class SuperIoReplay {
 public:
  explicit SuperIoReplay(const board::BoardConfig& config);
  // Applies a port access at the chip; nullopt for any other line.
  std::optional<SioAccess> Apply(const board::Event& event);
  [[nodiscard]] bool GuardArmed() const { return chip_.GuardArmed(); }
  [[nodiscard]] uint8_t Selected() const { return chip_.Selected(); }

 private:
  board::SuperIo chip_;
  uint8_t index_ = 0;
};

// The platform controller's ACPI registers replayed from MMIO writes.
class PlatformControllerReplay {
 public:
  explicit PlatformControllerReplay(const board::BoardConfig& config);
  // Applies an MMIO write; false for any other line.
  bool Apply(const board::Event& event);
  [[nodiscard]] bool AcpiDecoding() const { return pch_.AcpiDecoding(); }
  [[nodiscard]] uint16_t AcpiBase() const { return pch_.AcpiBase(); }

 private:
  board::PlatformController pch_;
};

// One busy-wait on the ACPI timer: consecutive reads of port 0x508.
//
// With PAUSE lines in the trace a wait is told apart exactly: it is a first
// reading, the first check right after it, and every further reading that
// follows a PAUSE. An engine that records no PAUSE gives runs of bare
// readings; those are cut where a reading reaches `expectedTicks` past the
// first one (the delay the scenario asks for), or kept whole without it.
struct TimerWait {
  size_t first = 0;       // index of the first reading
  size_t last = 0;        // index of the last reading
  uint64_t start = 0;     // t of the first reading
  uint64_t end = 0;       // t of the line after the last reading
  uint32_t polls = 0;     // readings
  uint32_t firstValue = 0;
  uint32_t lastValue = 0;
  // Whether every reading was a 24-bit timer value (a port nothing decodes
  // reads all ones).
  bool answered = true;
  // Timer ticks from the first reading to the last (24-bit wrap).
  [[nodiscard]] uint32_t Ticks() const { return (lastValue - firstValue) & 0xFFFFFF; }
};

std::vector<TimerWait> FindTimerWaits(std::span<const board::Event> events,
                                      std::optional<uint32_t> expectedTicks = std::nullopt);

// Ticks of the ramp's step delay: "Setup"'s RampStepDelay in microseconds at
// 3,579,545 Hz; nullopt when the scenario's "Setup" does not reach it.
std::optional<uint32_t> StepDelayTicks(const board::BoardConfig& config);

// One guarded step of the ramp: from its POST 0xC4 to the next timer wait.
struct RampStep {
  size_t first = 0;          // index of the POST 0xC4 line
  size_t end = 0;            // index one past its last line
  std::optional<uint16_t> code;  // the code its two-byte write sent, if it got that far
  uint8_t level = 0;         // register 6 when the step began
  bool failed = false;       // an SMBus transaction of the step answered an error
};

std::vector<RampStep> FindRampSteps(const board::BoardConfig& config,
                                    std::span<const board::Event> events,
                                    std::span<const TimerWait> waits);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TRACEANALYSIS_H_
