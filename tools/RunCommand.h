// `clockramp run`: reads a scenario, runs it on an engine, writes the trace
// and the timeline, prints the summary (and with -v the decoded trace). The
// run's events go to the trace writer and the run analysis as they happen;
// nothing is kept per access.
#ifndef CLOCKRAMP_TOOLS_RUNCOMMAND_H_
#define CLOCKRAMP_TOOLS_RUNCOMMAND_H_

#include <optional>
#include <ostream>
#include <string>

#include "tools/Engine.h"

namespace clockramp::tool {

// Exit statuses of the command.
inline constexpr int kExitRan = 0;      // the run completed (whatever the module returned)
inline constexpr int kExitInvalid = 2;  // bad command line, scenario or output file
inline constexpr int kExitHang = 3;     // the board stopped the run as a hang
// `check` and `compare-capture`: what was compared differs.
inline constexpr int kExitDifferent = 1;

struct RunOptions {
  std::optional<std::string> scenario;  // file; the default board when absent
  std::string tracePath;                // JSON Lines trace; none when empty
  bool traceWaits = false;              // the trace's waits form: a line per wait, no PAUSE
  std::string vcdPath;                  // VCD timeline; none when empty
  std::string sigrokVcdPath;            // its one-bit signals only, for sigrok; none when empty
  std::string clockGenOutPath;          // clock generator registers at the end (i2cdump layout)
  bool verbose = false;                 // print the decoded trace before the summary
  std::string engine = std::string(kDefaultEngine);
};

// Runs the command; messages about bad input go to `err` as "clockramp: ...".
int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_RUNCOMMAND_H_
