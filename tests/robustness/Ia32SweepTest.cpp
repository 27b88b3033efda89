// Part of the fault sweep on the IA-32 engine: the real ClockRamp.efi under
// Unicorn must make exactly the native run's accesses (trace lines other
// than "cpu", final state, statuses) for every injected fault, and be sound
// against the reference model by itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "board/Status.h"
#include "emu/Differential.h"
#include "tests/robustness/Oracle.h"
#include "tests/robustness/Scenarios.h"

namespace {

using board::BoardConfig;
using robustness::Join;

// Runs both engines; true when they agree and the IA-32 run is sound.
bool Agree(const BoardConfig& config, const emu::EmuOptions& options, const std::string& what) {
  emu::Comparison c = emu::RunBoth(config, options);
  EXPECT_FALSE(c.difference.has_value()) << what << ": " << c.difference.value_or("");
  const std::vector<std::string> problems = robustness::CheckRun(config, c.ia32, *c.ia32.board);
  EXPECT_TRUE(problems.empty()) << what << " (IA-32)" << Join(problems);
  return !c.difference && problems.empty();
}

emu::EmuOptions Options() {
  emu::EmuOptions options;
  options.image = emu::ReadImage(emu::DefaultImagePath());
  options.measure = false;
  options.time_limit_ms = 20'000;
  return options;
}

TEST(Ia32FaultSweep, EveryTransactionOfAShortRampFailsInTurnOnBothEngines) {
  const emu::EmuOptions options = Options();
  const std::vector<robustness::Scenario> scenarios = {
      {"fixed level, up 1000->1002", robustness::RampConfig(1000, 1002, 2, 3)},
      {"automatic, down 1004->1002", robustness::RampConfig(1004, 1002, 0xFF, 1)},
      {"target 2048", robustness::RampConfig(2040, 2048, 0xFF, 1)},
  };
  size_t checked = 0;
  size_t failures = 0;
  for (const robustness::Scenario& s : scenarios) {
    const uint64_t transactions = board::RunNative(s.config).board->ClockGen().Transactions();
    for (uint64_t k = 0; k < transactions; ++k) {
      for (uint32_t status : robustness::kInjectedStatuses) {
        BoardConfig config = s.config;
        config.smbusFailures = {{k, status}};
        char what[160];
        std::snprintf(what, sizeof what, "%s, transaction %llu answers 0x%08X", s.name,
                      static_cast<unsigned long long>(k), status);
        if (!Agree(config, options, what) && ++failures > 10) {
          FAIL() << "more than 10 disagreements; stopping";
        }
        ++checked;
      }
    }
  }
  std::printf("[ robustness ] %zu injected faults checked on both engines\n", checked);
  EXPECT_GT(checked, 100U);
}

TEST(Ia32FaultSweep, TimerFaultsHangAtTheSamePlaceOnBothEngines) {
  const emu::EmuOptions options = Options();
  BoardConfig frozen = robustness::RampConfig(1000, 1002, 0xFF, 3);
  frozen.timerMode = board::TimerMode::Frozen;
  frozen.hangLimitNs = 500'000;
  BoardConfig stops = robustness::RampConfig(1000, 1002, 0xFF, 3);
  stops.timerMode = board::TimerMode::StopsAfter;
  stops.timerStopsAfterNs = 6'000'000;
  stops.hangLimitNs = 500'000;
  BoardConfig wraps = robustness::RampConfig(1000, 1002, 0xFF, 50);
  wraps.timerStart = 0xFFFFFF - 6000;
  for (const auto& [name, config] :
       {std::pair{"frozen", frozen}, std::pair{"stops", stops}, std::pair{"wraps", wraps}}) {
    EXPECT_TRUE(Agree(config, options, name));
  }
}

}  // namespace
