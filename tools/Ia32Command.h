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
};

// Adds `check` to the command line.
CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Exit statuses of `check`.
inline constexpr int kExitDifferent = 1;  // the engines disagreed on some board

// Runs every board on both engines; prints one line per scenario file, the
// first difference of any board, and a closing count.
int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_IA32COMMAND_H_
