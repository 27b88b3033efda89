// Turns what QEMU traced of a run (`-d trace:memory_region_ops_read,
// memory_region_ops_write`, the helper PEIMs' log lines among the port
// writes) into the board's trace events, so that it can be compared with a
// native run of the same scenario.
//
// Only what lies between the scenario PEIM's "begin" line and the exit
// PEIM's "end" line is the module's: port accesses (the Super I/O ports,
// POST, the ACPI timer), PCI Express configuration accesses (ECAM), and the
// calls the helpers answered (PCD Get64, GetVariable, SMBus Execute). The
// exit PEIM's "state" line gives the end state. Time stamps are not known:
// every event has t = 0.
#ifndef CLOCKRAMP_QEMU_TRACEREADER_H_
#define CLOCKRAMP_QEMU_TRACEREADER_H_

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "board/BoardConfig.h"
#include "board/Event.h"

namespace qemu {

// q35's PCI Express configuration window (MCH PCIEXBAR as the firmware sets it).
inline constexpr uint64_t kEcamBase = 0xB0000000;

// The port the helper PEIMs write their log lines to, byte by byte. It is
// not the firmware's debug console (0x402, where a DEBUG build of OVMF logs
// through QEMU's isa-debugcon), so that the two logs never interleave; no
// device decodes it, and every write shows in the trace.
inline constexpr uint16_t kHelperLogPort = 0x403;

struct ReaderOptions {
  // What the PCD shim answered for token 5, and what the scenario's token 5
  // is: configuration accesses relative to the first are shown relative to
  // the second, and the answered value as the scenario's, so that the events
  // read as the native board's.
  uint64_t shimToken5 = 0;
  uint64_t scenarioToken5 = 0;
};

struct QemuTrace {
  std::vector<board::Event> events;           // the module's, in order; no "state" line
  std::optional<board::StateSnapshot> state;  // from the exit PEIM (Super I/O and POST not filled)
  std::vector<std::string> log;               // every helper line, without the "crq " prefix
  std::vector<std::string> unexpected;        // accesses inside the window that are neither
  bool begun = false;                         // "begin" seen
  bool ended = false;                         // "end" seen
  uint64_t timerReads = 0;                    // ACPI timer reads inside the window
  std::optional<uint64_t> exitStack;          // the exit PEIM's stack pointer ("stack" line)
};

// Reads a QEMU trace log. Malformed helper lines are reported in `unexpected`.
QemuTrace ReadQemuTrace(std::istream& in, const ReaderOptions& options);

// The start addresses of the translated blocks that QEMU's `-d exec` log
// shows ran ("Trace 0: 0x7f... [00000000/00848eec/004002b0/ff000200]": code
// segment base, then the block's address), each once, in the order they
// first ran. Every other line is skipped.
std::vector<uint64_t> ReadExecutedBlocks(std::istream& in);

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_TRACEREADER_H_
