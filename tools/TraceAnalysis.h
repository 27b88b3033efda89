// Reading a run back from its events: the devices replayed from the recorded
// accesses (through the board's own device models), the ACPI timer waits and
// the ramp steps. The summary, the -v listing and the VCD timeline are built
// on these (tools/RunAnalysis.h gathers them in one pass).
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
#include "board/TimerWait.h"

namespace clockramp::tool {

using board::kTimerPort;
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
    Key,        // entry key, exit key or register selection at the index port
    Select,     // logical device selected (register 0x07 written)
    Register,   // a global or logical-device register read or written
    IndexRead,  // the index port read back
    Ignored,    // a data-port access outside configuration mode
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

// The ACPI timer waits (board/TimerWait.h).
using board::FindTimerWaits;
using board::TimerWait;

// Ticks of the ramp's step delay: "Setup"'s RampStepDelay in microseconds at
// 3,579,545 Hz; nullopt when the scenario's "Setup" does not reach it.
std::optional<uint32_t> StepDelayTicks(const board::BoardConfig& config);

// One guarded step of the ramp: from its POST 0xC4 to the next timer wait.
struct RampStep {
  size_t first = 0;              // index of the POST 0xC4 line
  size_t end = 0;                // index one past its last line
  std::optional<uint16_t> code;  // the code its two-byte write sent, if it got that far
  uint8_t level = 0;             // register 6 when the step began
  bool failed = false;           // an SMBus transaction of the step answered an error
};

// Finds the ramp steps as a run goes by, fed by a board::WaitSplitter: a step
// ends where a wait starts, at the next POST 0xC4, at a return, a hang or
// the final state. Keeps one record per step, nothing per access.
class StepFinder final : public board::WaitObserver {
 public:
  explicit StepFinder(const board::BoardConfig& config);
  void OnAccess(size_t index, const board::Event& event, uint64_t done) override;
  void OnWait(const TimerWait& wait) override;
  void OnEnd() override;
  [[nodiscard]] const std::vector<RampStep>& Steps() const { return steps_; }

 private:
  void EndAt(size_t index);

  ClockGenReplay clockGen_;
  std::vector<RampStep> steps_;
  bool open_ = false;
  size_t count_ = 0;  // lines seen
};

// The steps of a whole sequence of events whose waits are known.
std::vector<RampStep> FindRampSteps(const board::BoardConfig& config,
                                    std::span<const board::Event> events,
                                    std::span<const TimerWait> waits);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TRACEANALYSIS_H_
