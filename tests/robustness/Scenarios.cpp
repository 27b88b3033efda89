#include "tests/robustness/Scenarios.h"

namespace robustness {

board::BoardConfig RampConfig(uint16_t from, uint16_t to, uint8_t level, uint8_t delayUs) {
  board::BoardConfig config;
  config.clockGenerator = board::MakeClockGeneratorRegisters(from);
  config.setup = board::MakeSetup(to, level, delayUs);
  return config;
}

std::vector<Scenario> SweepScenarios() {
  std::vector<Scenario> out;
  out.push_back({"default board", board::BoardConfig{}});
  out.push_back({"fixed level 2, ramp up 1000->1004", RampConfig(1000, 1004, 2, 10)});
  out.push_back({"fixed level 0, ramp down 1000->996", RampConfig(1000, 996, 0, 5)});
  out.push_back({"automatic, ramp down 1013->1009", RampConfig(1013, 1009, 0xFF, 2)});
  out.push_back({"code at target", RampConfig(1000, 1000, 0xFF, 50)});
  out.push_back({"target 2048", RampConfig(2040, 2048, 0xFF, 50)});
  out.push_back({"target 0xFFFF", RampConfig(1000, 0xFFFF, 1, 50)});
  out.push_back({"top of the range 2045->2047", RampConfig(2045, 2047, 9, 0)});

  board::BoardConfig clear = RampConfig(1000, 1002, 3, 1);
  clear.pchRcConfiguration = board::MakePchRcConfiguration(4);
  clear.clockGenerator[0] = 0x20;
  clear.clockGenerator[1] = 0xE5;
  out.push_back({"selector 4 clears register 1, register 0 already set", clear});

  board::BoardConfig missing = RampConfig(1000, 998, 0xFF, 1);
  missing.pchRcConfiguration.reset();
  missing.clockGenerator[1] = 0x45;
  out.push_back({"no PchRcConfiguration clears register 1", missing});

  board::BoardConfig gated = RampConfig(1000, 1001, 0, 1);
  gated.clockGenerator[1] = 0x45;  // bit 6 set: the set policy leaves it
  gated.reportedByteCount = 18;
  out.push_back({"selector 5 with bit 6 set, reported count 18", gated});
  return out;
}

}  // namespace robustness
