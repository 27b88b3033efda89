// The scenario reader (`clockramp run`, `check`, `compare-capture`): JSON of
// any shape, and the efivarfs and i2cdump files it names, taken relative to
// tests/scenarios/ as if the input lay there, so that the board data files
// there can be reached. A scenario is either a board or a ScenarioError.
#include <string>

#include "BuildPaths.h"
#include "fuzz/readers/ReaderTarget.h"
#include "tools/Scenario.h"

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzScenario) {
  static const std::string source = std::string(CLOCKRAMP_SCENARIOS_DIR) + "/fuzz-input.json";
  try {
    tool::ParseScenarioText(Text(data), source);
  } catch (const tool::ScenarioError&) {
    // Refused.
  }
}

}  // namespace clockramp::fuzz
