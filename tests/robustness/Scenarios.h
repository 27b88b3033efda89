// The boards the fault sweep runs over: the default board, ramps up and
// down with fixed and automatic levels, the code at its target, targets
// beyond 11 bits and the register 0 and 1 policies.
#ifndef CLOCKRAMP_TESTS_ROBUSTNESS_SCENARIOS_H_
#define CLOCKRAMP_TESTS_ROBUSTNESS_SCENARIOS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "board/BoardConfig.h"

namespace robustness {

struct Scenario {
  const char* name;
  board::BoardConfig config;
};

// A board whose clock generator is at `from` and whose "Setup" asks for `to`.
board::BoardConfig RampConfig(uint16_t from, uint16_t to, uint8_t level, uint8_t delayUs);

std::vector<Scenario> SweepScenarios();

// Problems one to a line, indented under a failure message.
inline std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += "\n  " + line;
  }
  return text;
}

}  // namespace robustness

#endif  // CLOCKRAMP_TESTS_ROBUSTNESS_SCENARIOS_H_
