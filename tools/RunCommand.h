// `clockramp run`: reads a scenario, runs it on an engine, writes the trace
// and the timeline, prints the summary (and with -v the decoded trace). The
// run's events go to the trace writer and the run analysis as they happen;
// nothing is kept per access.
//
// Outputs are written whole or not at all (files::OutputSet): each goes to a
// temporary file next to it and takes its name only once the run completed,
// whatever the module returned and also after a hang, since the trace of a
// failing run is what an engineer needs. Bad input, an output that is an
// input or another output, an engine that cannot run the board, or a write
// that fails (a full disk) leaves none of them behind.
#ifndef CLOCKRAMP_TOOLS_RUNCOMMAND_H_
#define CLOCKRAMP_TOOLS_RUNCOMMAND_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "board/BoardConfig.h"
#include "tools/Engine.h"
#include "tools/ExitStatus.h"

namespace clockramp::tool {

struct RunOptions {
  std::optional<std::string> scenario;  // file; the default board when absent
  std::string tracePath;                // JSON Lines trace; none when empty
  bool traceWaits = false;              // the trace's waits form: a line per wait, no PAUSE
  std::string vcdPath;                  // VCD timeline; none when empty
  std::string sigrokVcdPath;            // its one-bit signals only, for sigrok; none when empty
  std::string clockGenOutPath;          // clock generator registers at the end (i2cdump layout)
  bool verbose = false;                 // print the decoded trace before the summary
  std::string engine = std::string(kDefaultEngine);
  // Real time the run may take before it is stopped as a hang.
  uint64_t wallClockLimitMs = board::BoardConfig{}.wallClockLimitMs;
  // Files the engine reads besides the scenario (an image): no output may be one.
  std::vector<std::string> inputs;
};

// Whether the module or the engine's run failed: an error status from the
// entry or the callback (a warning is success), a guest fault, a difference.
bool RunFailed(const EngineRun& run);

// Runs the command; messages about bad input go to `err` as "clockramp: ...".
// Returns one of the statuses of tools/ExitStatus.h.
int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_RUNCOMMAND_H_
