// Runs the module natively on the simulated board: a real EFI_PEI_SERVICES
// table and real variable, SMBus2 and PCD PPIs whose functions forward to
// the Board; the services pointer sits in the slot just below a simulated
// IDT base, which SIDT answers.
//
// Dispatch order: PCD and variable PPIs (when present) and, for BeforeEntry,
// the SMBus2 PPI are installed; ClockRampEntry is called; pending
// notifications are delivered; for AfterEntry the SMBus2 PPI is installed and
// its notifications delivered. A hang unwinds the module (no "return" line
// for the interrupted call). The trace always ends with the "state" line.
#ifndef CLOCKRAMP_BOARD_NATIVEENGINE_H_
#define CLOCKRAMP_BOARD_NATIVEENGINE_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "board/Board.h"

namespace board {

struct RunOutcome {
  std::optional<uint32_t> entryStatus;   // absent when the entry hung
  std::optional<uint32_t> notifyStatus;  // the last delivered callback's; absent if none returned
  uint32_t notifications = 0;            // callbacks delivered (called)
  bool hung = false;
  bool timedOut = false;  // the wall-clock limit stopped the run (hung is set too)
};

struct RunResult : RunOutcome {
  std::unique_ptr<Board> board;
  [[nodiscard]] const Trace& trace() const { return board->Events(); }
};

struct NativePlatform;

// The native platform of one board, for calling module functions one by one
// (tests): builds the services table and PPIs, installs the PCD and variable
// PPIs when the config has them and the SMBus2 PPI unless it is absent, and
// makes the board current for this thread for the session's lifetime. A
// function that hangs throws board::RunStopped.
class NativeSession {
 public:
  explicit NativeSession(Board& board);
  ~NativeSession();
  NativeSession(const NativeSession&) = delete;
  NativeSession& operator=(const NativeSession&) = delete;

  // The PEI services pointer the module is handed (EFI_PEI_SERVICES**).
  [[nodiscard]] void* Services() const;
  // The SMBus2 PPI (EFI_PEI_SMBUS2_PPI*).
  [[nodiscard]] const void* Smbus() const;

 private:
  HostBusScope scope_;
  std::unique_ptr<NativePlatform> platform_;
};

// Runs the module on a board the caller keeps (for inspection afterwards).
// A board takes one run: its Foundation keeps the PPIs of that run. The run
// is stopped as a hang once the config's wallClockLimitMs of real time passes.
RunOutcome RunNative(Board& board);
// Runs the module on a fresh board built from the config. With a sink, the
// events go there as they happen and the result's trace() stays empty.
RunResult RunNative(const BoardConfig& config, EventSink* sink = nullptr);

}  // namespace board

#endif  // CLOCKRAMP_BOARD_NATIVEENGINE_H_
