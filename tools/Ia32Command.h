// The IA-32 engine as a choice of `clockramp run --engine ia32`, and
// `clockramp check`: each scenario on both engines, compared.
#ifndef CLOCKRAMP_TOOLS_IA32COMMAND_H_
#define CLOCKRAMP_TOOLS_IA32COMMAND_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "board/BoardConfig.h"
#include "tools/ExitStatus.h"

namespace clockramp::tool {

// Registers the "ia32" engine: the built ClockRamp.efi (or *imagePath, read
// when the run starts) executed under Unicorn on the same board. Its summary
// notes give the instructions executed and the stack high-water. When
// *atImageBase is set (read when the run starts), the image runs at its own
// ImageBase with no relocation applied, as a rebased image executes in place.
void RegisterIa32Engine(const std::shared_ptr<const std::string>& imagePath,
                        const std::shared_ptr<const bool>& atImageBase = nullptr);

struct CheckOptions {
  std::vector<std::string> scenarios;  // files; the default board when none and no --random
  uint64_t random = 0;                 // random boards to add
  uint64_t seed = 1;                   // seed of the first random board
  std::string image;                   // ClockRamp.efi to run; the built one when empty
  // Real time each engine may take for one board before it stops the run.
  uint64_t wallClockLimitMs = board::BoardConfig{}.wallClockLimitMs;
  bool progress = false;  // a count of the boards checked on stderr, rewritten in place
};

// The most random boards `check` takes at once: about three hours on two cores.
inline constexpr uint64_t kMaxRandomBoards = 1'000'000;

// Adds `check` to the command line.
CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Runs every board on both engines; prints one line per scenario file, the
// first difference of any board, and a closing count. Exit status 0 when the
// engines agree on every board, 1 at any difference (a fault or a run past
// the wall-clock limit on one engine is one), 2 for a scenario or image that
// cannot be used.
int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_IA32COMMAND_H_
