// An independent reference model of what the module must do on the wire
// (docs/module.md), and the checks that hold a native or IA-32 run to it.
//
// Expect(config) plays the callback against a small model of the clock
// generator (registers, reported count, injected failures) and of the Super
// I/O chip, and lists every access the callback must make in order: PPI
// lookups, variable reads, SMBus transactions with their data and statuses,
// POST codes, Super I/O port accesses and delays. It also gives the status
// the callback must return and the devices at its end.
//
// RunChecker (a sink, fed the run's events as they happen) and CheckRun (for
// a board that kept its events) compare a run with it:
// - the callback's accesses equal the expected ones; a run that hung must
//   have made a prefix of them and stopped inside a delay that the timer
//   could not end (decoding off or elsewhere, frozen, or stopped);
// - status, clock generator registers, Super I/O guard registers and POST
//   codes at the end;
// - invariants that hold whatever the model says: the entry's status, the
//   callback's status from the defined set, register bits outside the named
//   masks unchanged, the POST pattern of each step, success whenever nothing
//   failed, failure whenever an error was answered, hangs only where the
//   timer cannot answer.
// It returns a description of every violation (empty when the run is sound).
#ifndef CLOCKRAMP_TESTS_ROBUSTNESS_ORACLE_H_
#define CLOCKRAMP_TESTS_ROBUSTNESS_ORACLE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/Board.h"
#include "board/BoardConfig.h"
#include "board/EventSink.h"
#include "board/NativeEngine.h"

namespace robustness {

enum class Act : uint8_t {
  Locate,       // LocatePpi: port = which PPI (PpiCode), status
  GetVariable,  // port = which variable (VariableCode), value = size passed,
                // extra = DataSize after, status
  Smbus,        // op, port = command, value = Length passed, data, status
  Post,         // value = code
  SioOut,       // port, value
  SioIn,        // port, value
  Delay,        // value = microseconds
  TimerReads,   // observed: consecutive reads of the ACPI timer, reads[first, first + count)
  Unexpected,   // an access the module has no business making: value = its index in the trace
};

// The PPIs and variables an action names (anything else is "Other").
enum PpiCode : uint32_t { kVariablePpi, kSmbus2Ppi, kPcdPpi, kOtherPpi };
enum VariableCode : uint32_t { kSetupVariable, kPchRcVariable, kOtherVariable };

// One access, small and trivially copyable: a run makes thousands.
struct Action {
  Act kind = Act::Unexpected;
  uint8_t op = 0;
  uint8_t size = 0;  // bytes in data
  uint32_t port = 0;
  uint32_t status = 0;
  uint32_t value = 0;
  uint32_t extra = 0;
  uint32_t first = 0;  // TimerReads
  uint32_t count = 0;
  std::array<uint8_t, 18> data{};  // SMBus bytes written or delivered (a block the module
                                   // makes has at most 18; a longer one is Unexpected)

  bool operator==(const Action&) const = default;
  [[nodiscard]] std::string Describe() const;
};

// What the module must do with one board.
struct Expectation {
  // The entry.
  bool pchEnabled = false;  // the entry must switch ACPI decoding on at 0x500
  uint16_t acpiBase = 0;    // the platform controller after the entry
  uint8_t acpiControl = 0;
  bool timerAnswers = false;  // the timer decodes at 0x508 after the entry

  // The callback.
  bool delivered = false;
  std::vector<Action> actions;
  uint32_t status = 0;
  std::array<uint8_t, 256> registers{};  // the clock generator at the end
  uint8_t ldn8Reg30 = 0, ldn8RegF6 = 0, ldnAregE7 = 0;
  std::optional<uint8_t> selected;  // the logical device selected at the end
  std::vector<uint8_t> post;
  size_t steps = 0;        // guarded steps begun
  bool fullImage = false;  // both block reads delivered every byte asked for
};

// `storage` lends its capacity to the expected actions (a caller checking
// many runs hands the same vector back each time, sparing the allocations).
Expectation Expect(const board::BoardConfig& config, std::vector<Action> storage = {});

// The callback's accesses as a run recorded them; consecutive timer reads
// (PAUSE between them ignored) are one TimerReads entry.
struct Observed {
  std::vector<Action> actions;
  std::vector<uint32_t> reads;  // timer readings, in order
};
Observed ObservedActions(const board::Trace& trace);

// Tells the callback's accesses apart as a run goes: from the ClockRampNotify
// call to its return, leaving out processor, hang and state lines.
class CallbackWindow {
 public:
  // Takes the next line; true when it is one of the callback's accesses.
  bool Inside(const board::Event& event);

 private:
  bool inside_ = false;
};

// The checks as a sink: built before the run (the expectation is worked out
// then), fed every event as it happens, it compares the callback's accesses
// with the expected ones on the fly and stops comparing at the first
// difference; it keeps nothing per access.
class RunChecker final : public board::EventSink {
 public:
  // `storage`: see Expect.
  explicit RunChecker(const board::BoardConfig& config, std::vector<Action> storage = {});
  ~RunChecker() override;
  RunChecker(const RunChecker&) = delete;
  RunChecker& operator=(const RunChecker&) = delete;
  RunChecker(RunChecker&&) = delete;
  RunChecker& operator=(RunChecker&&) = delete;

  void OnEvent(const board::Event& event) override;
  // Every violation of the model and of the invariants, once the run has
  // ended on `board` with `outcome`. Once only.
  std::vector<std::string> Finish(const board::RunOutcome& outcome, const board::Board& board);
  // The expected actions' vector, for the next checker; after Finish, once.
  std::vector<Action> TakeStorage();

 private:
  struct Watch;

  board::BoardConfig config_;
  Expectation expectation_;
  std::unique_ptr<Watch> watch_;
  CallbackWindow window_;
  uint64_t index_ = 0;
  uint64_t hangAt_ = 0;
};

// Every violation of the model and of the invariants by one run whose board
// kept its events.
std::vector<std::string> CheckRun(const board::BoardConfig& config,
                                  const board::RunOutcome& outcome, const board::Board& board);

// One line naming the parts of a configuration that differ from the default board.
std::string Describe(const board::BoardConfig& config);

// The statuses fault injection uses: an error, a time-out, an unusual error
// value and a non-error warning.
inline constexpr std::array<uint32_t, 4> kInjectedStatuses = {0x80000007U, 0x80000012U, 0x8000ABCDU,
                                                              0x00000004U};

}  // namespace robustness

#endif  // CLOCKRAMP_TESTS_ROBUSTNESS_ORACLE_H_
