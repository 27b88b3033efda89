// Runs one scenario under a real PEI core: writes the scenario for fw_cfg,
// boots the prepared firmware (qemu/Firmware.h) in qemu-system-i386 with
// tracing of port and memory-mapped device accesses, waits for the exit
// PEIM to stop QEMU (or for the time limit), and reads the trace back
// (qemu/TraceReader.h) onto a board of the scenario, ending with the state
// line, as any engine hands it back.
#ifndef CLOCKRAMP_QEMU_QEMURUN_H_
#define CLOCKRAMP_QEMU_QEMURUN_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/Board.h"
#include "board/BoardConfig.h"
#include "board/NativeEngine.h"
#include "qemu/Firmware.h"
#include "qemu/TraceReader.h"

namespace qemu {

// What the shim answers for token 5 when the scenario's value is the real
// window's base: the module's function-2 registers 0x40/0x44 land on the
// LPC bridge's (00:1F.0) PMBASE and ACPI_CNTL.
inline constexpr uint64_t kShimPcieBase = kEcamBase - 0x2000;

// isa-debug-exit's status when the exit PEIM writes its value.
inline constexpr int kExitPeimStatus = 33;

struct QemuOptions {
  std::string qemu;      // qemu-system-i386; found on PATH when empty
  std::string firmware;  // the prepared image (EnsureFirmware)
  std::string vars = kOvmfVars;
  std::string workDir;  // scenario, trace, logs; a fresh temporary folder when empty
  unsigned timeLimitSeconds = 60;
  bool keepFiles = false;  // keep a temporary work folder
  // Also log the blocks the processor executes in [begin, begin + size)
  // (QEMU's -d exec with -dfilter, block chaining off so that every block
  // shows; about three times slower) into QemuRun::executed.
  struct Range {
    uint64_t begin = 0;
    uint64_t size = 0;
  };
  std::optional<Range> execRange;
};

struct QemuRun {
  board::RunOutcome outcome;  // no statuses: the real core does not show them
  std::unique_ptr<board::Board> board;
  QemuTrace trace;
  int exitStatus = -1;
  bool timedOut = false;
  double seconds = 0;
  std::string workDir;
  std::vector<uint64_t> executed;  // with execRange: block addresses, first run first
  // What the firmware itself logged on its debug console (port 0x402): a
  // DEBUG build's PEI core says what it loads and dispatches; empty for
  // the ovmf-ia32 package's RELEASE build.
  std::string firmwareLog;
  std::vector<std::string> problems;  // why the run cannot be trusted (empty when fine)
};

// The path of qemu-system-i386 on PATH, or nullopt.
std::optional<std::string> FindQemu();

// What is missing to run under QEMU (the emulator, the firmware files), in
// one sentence naming the Debian packages; empty when nothing is.
std::string MissingForQemu();

// What the shim answers for the scenario's token 5. Throws
// UnsupportedScenario for a value that would send the module's configuration
// accesses somewhere else than the native board sends them.
uint64_t ShimToken5(const board::BoardConfig& config);

// Runs the scenario. Throws UnsupportedScenario before starting QEMU for a
// board that cannot be made, std::runtime_error when QEMU cannot be started.
QemuRun RunQemu(const board::BoardConfig& config, const QemuOptions& options);

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_QEMURUN_H_
