// `clockramp setup`: makes a "Setup" variable file to write back through
// efivarfs. Starts from a file read on the board (or the default board's
// variable), sets the ramp's fields from the options, keeps every other byte
// and the attributes, and writes the new file.
#ifndef CLOCKRAMP_TOOLS_SETUPCOMMAND_H_
#define CLOCKRAMP_TOOLS_SETUPCOMMAND_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace clockramp::tool {

struct SetupOptions {
  std::optional<std::string> input;  // efivarfs file; the default board's "Setup" when absent
  std::string output;                // the file to write
  std::optional<uint64_t> target;    // RampTargetCode, 0-2047
  std::optional<std::string> level;  // RampLevelSelect: 0-255 or "auto" (255)
  std::optional<uint64_t> delay;     // RampStepDelay in µs, 0-255
};

// Runs the command: prints what changed to `out`; a bad option or file goes
// to `err` as "clockramp: ..." and gives exit status 2 with nothing written.
int RunSetupCommand(const SetupOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SETUPCOMMAND_H_
