// The scenario reader (`clockramp run`, `check`, `compare-capture`): JSON of
// any shape, and the efivarfs and i2cdump files it names, taken relative to
// tests/scenarios/ as if the input lay there, so that the board data files
// there can be reached. A scenario is either a board or a ScenarioError.
#include "fuzz/readers/ReaderTarget.h"
#include "tools/Scenario.h"

#ifndef CLOCKRAMP_SCENARIOS_DIR
#error "CLOCKRAMP_SCENARIOS_DIR must name tests/scenarios"
#endif

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzScenario) {
  try {
    tool::ParseScenarioText(Text(data), CLOCKRAMP_SCENARIOS_DIR "/fuzz-input.json");
  } catch (const tool::ScenarioError&) {
    // Refused.
  }
}

}  // namespace clockramp::fuzz
