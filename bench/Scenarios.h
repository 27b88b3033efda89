// The boards the benchmarks run: the built-in default board, and the
// longest ramp the module can make (every code from 0 to 2047, one level
// decision per code, the longest settle delay).
#ifndef CLOCKRAMP_BENCH_SCENARIOS_H_
#define CLOCKRAMP_BENCH_SCENARIOS_H_

#include <cstdint>

#include "board/BoardConfig.h"

namespace bench {

inline constexpr uint16_t kFullRampFrom = 0;
inline constexpr uint16_t kFullRampTo = 2047;
inline constexpr uint32_t kFullRampSteps = kFullRampTo - kFullRampFrom;

// The default board, ramping from 0 to 2047 in automatic level mode with the
// given settle delay (255 µs is the longest "Setup" can ask for).
inline board::BoardConfig FullRamp(uint8_t delayUs) {
  board::BoardConfig config;
  config.clockGenerator = board::MakeClockGeneratorRegisters(kFullRampFrom);
  config.setup = board::MakeSetup(kFullRampTo, board::setup::kLevelAutomatic, delayUs);
  return config;
}

}  // namespace bench

#endif  // CLOCKRAMP_BENCH_SCENARIOS_H_
