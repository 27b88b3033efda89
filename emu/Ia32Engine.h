// Runs the real IA-32 image ClockRamp.efi instruction by instruction under
// Unicorn on the simulated board, with the native engine's dispatch order
// (board/NativeEngine.h): PCD and variable PPIs and, for BeforeEntry, the
// SMBus2 PPI are installed; the entry point is called; pending notifications
// are delivered; for AfterEntry the SMBus2 PPI is installed and its
// notifications delivered. The trace ends with the "state" line whatever
// happened, and is the native engine's trace but for the "cpu" lines.
#ifndef CLOCKRAMP_EMU_IA32ENGINE_H_
#define CLOCKRAMP_EMU_IA32ENGINE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/Board.h"
#include "board/NativeEngine.h"
#include "emu/Machine.h"
#include "emu/MemoryMap.h"
#include "image/PeImage.h"

namespace emu {

struct EmuOptions {
  // The image to run: `image` if set, else the file at `image_path`, else the
  // ClockRamp.efi this build produced (DefaultImagePath()).
  std::shared_ptr<const clockramp::pe::PeImage> image;
  std::string image_path;
  // Where the image runs in flash: 32-byte aligned, inside 0xFFF00000-0xFFFFFFFF.
  uint32_t load_address = memmap::kDefaultLoadAddress;
  // Run the image at its own ImageBase with no relocation applied, as code
  // rebased for where it executes in place runs (load_address is unused).
  bool at_image_base = false;
  // Count instructions, PAUSEs and per-step figures (a code hook on every
  // instruction: slower). The stack high-water is measured either way.
  bool measure = true;
  // Wall-clock limit for the whole run, in milliseconds; 0 for none. When it
  // passes, the board records a hang, as for a poll that never ends.
  uint64_t time_limit_ms = 60'000;
};

// What the run measured.
struct EmuFigures {
  uint64_t instructions = 0;           // whole run
  uint64_t entry_instructions = 0;     // ClockRampEntry
  uint64_t callback_instructions = 0;  // every ClockRampNotify delivered
  uint64_t pauses = 0;
  // Instructions from one POST 0xC4 (start of a ramp step) to the next.
  std::vector<uint64_t> step_instructions;
  uint32_t stack_high_water = 0;  // bytes below the stack top, whole run
  uint32_t entry_stack = 0;
  uint32_t callback_stack = 0;
  uint32_t load_address = 0;
  double wall_seconds = 0;  // host time of the dispatch
};

struct EmuOutcome : board::RunOutcome {
  std::optional<Fault> fault;  // the guest faulted (a write into the image, ...)
  bool timed_out = false;      // the wall-clock limit stopped the run (hung is set too)
  EmuFigures figures;
};

struct EmuResult : EmuOutcome {
  std::unique_ptr<board::Board> board;
  [[nodiscard]] const board::Trace& trace() const { return board->Events(); }
};

// ClockRamp.efi as this build produced it.
std::string DefaultImagePath();
// Reads and parses an image once, for runs that share it.
std::shared_ptr<const clockramp::pe::PeImage> ReadImage(const std::string& path);

// Runs the image on a board the caller keeps. Throws EmuError when the image
// cannot be loaded (not PE32/IA-32, a relocation other than ABSOLUTE or
// HIGHLOW, a bad load address); guest faults are reported in the outcome.
EmuOutcome RunIa32(board::Board& board, const EmuOptions& options = {});
// Runs the image on a fresh board built from the config.
// With a sink, the events go there as they happen and the result's trace()
// stays empty.
EmuResult RunIa32(const board::BoardConfig& config, const EmuOptions& options = {},
                  board::EventSink* sink = nullptr);

}  // namespace emu

#endif  // CLOCKRAMP_EMU_IA32ENGINE_H_
