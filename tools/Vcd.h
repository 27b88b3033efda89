// The timeline of a run as a Value Change Dump (timescale 100 ns, the finest
// step of the board's virtual time), for GTKWave, PulseView and other VCD
// readers. Signals, all derived from the trace starting at the scenario's
// initial values (a change shows at the end of the access that made it, the
// next line's t):
//
//   frequency_code [10:0]  registers 20 (bits 2:0) and 19, from SMBus writes that succeeded
//   reg6_level [7:0]       register 6
//   reg3_bit7              register 3 bit 7 (output enable)
//   reg9_bits6_3 [3:0]     register 9 bits 6:3
//   guard_armed            the Super I/O guard, from Super I/O accesses
//   post_code [7:0]        the last byte written to port 0x80 (x before the first)
//   acpi_decoding          register 0x44 bit 7 of the platform controller, from MMIO writes
//   timer_wait             high while the module busy-waits on the ACPI timer
//   smbus_scl, smbus_sda   the SMBus lines during each transaction (tools/SmbusWaveform.h)
#ifndef CLOCKRAMP_TOOLS_VCD_H_
#define CLOCKRAMP_TOOLS_VCD_H_

#include <memory>
#include <ostream>
#include <span>
#include <string>

#include "board/BoardConfig.h"
#include "board/Event.h"
#include "board/TimerWait.h"
#include "tools/TraceAnalysis.h"

namespace clockramp::tool {

// One VCD time step. Every access costs a multiple of it, and sigrok, which
// samples a VCD at its timescale, decodes the default board's timeline in a
// fraction of a second at this step (docs/scenarios.md).
inline constexpr uint64_t kTimescaleNs = 100;

struct VcdOptions {
  std::string date;                   // the $date text; empty: now, local time
  std::string version = "clockramp";  // the $version text
  // Only the one-bit signals (the bus lines among them): libsigrok 0.5.2, as
  // in Debian 12's sigrok-cli and PulseView, stops reading a VCD at its first
  // multi-bit value.
  bool oneBitOnly = false;
};

// Writes the timeline as a run goes by, fed by a board::WaitSplitter: the
// header at once, then each time's net changes as they are known; keeps
// nothing per access. `out` must outlive the writer.
class VcdWriter final : public board::WaitObserver {
 public:
  class ChangeWriter;

  VcdWriter(std::ostream& out, const board::BoardConfig& config, const VcdOptions& options = {});
  ~VcdWriter() override;
  VcdWriter(const VcdWriter&) = delete;
  VcdWriter& operator=(const VcdWriter&) = delete;
  VcdWriter(VcdWriter&&) = delete;
  VcdWriter& operator=(VcdWriter&&) = delete;

  void OnAccess(size_t index, const board::Event& event, uint64_t done) override;
  void OnWait(const TimerWait& wait) override;
  // Writes the last changes and the end time.
  void OnEnd() override;

 private:
  ClockGenReplay clockGen_;
  SuperIoReplay sio_;
  PlatformControllerReplay pch_;
  std::unique_ptr<ChangeWriter> changes_;
  uint64_t end_ = 0;
};

// The timeline of a whole run.
void WriteVcd(std::ostream& out, const board::BoardConfig& config,
              std::span<const board::Event> events, const VcdOptions& options = {});

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_VCD_H_
