// Fault injection at every SMBus transaction: for each scenario, a clean run
// gives the number of transactions; then each one in turn answers each of
// the injected statuses, and the run is held to the reference model (every
// access, the status, the guard, the registers, the POST codes) and to the
// invariants (tests/robustness/Oracle.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/Status.h"
#include "tests/robustness/Oracle.h"
#include "tests/robustness/Scenarios.h"

namespace {

using board::BoardConfig;
using robustness::CheckRun;
using robustness::Join;

// Runs a config and holds it to the oracle; true when sound.
bool Sound(const BoardConfig& config, const std::string& what) {
  board::RunResult run = board::RunNative(config);
  const std::vector<std::string> problems = CheckRun(config, run, *run.board);
  EXPECT_TRUE(problems.empty()) << what << " (" << robustness::Describe(config) << ")"
                                << Join(problems);
  return problems.empty();
}

TEST(FaultSweep, EveryTransactionFailsInTurnWithEveryStatus) {
  size_t checked = 0;
  size_t failures = 0;
  for (const robustness::Scenario& s : robustness::SweepScenarios()) {
    ASSERT_TRUE(Sound(s.config, std::string(s.name) + ", clean")) << "the clean run must be sound";
    const uint64_t transactions = board::RunNative(s.config).board->ClockGen().Transactions();
    ASSERT_GT(transactions, 0U) << s.name;
    for (uint64_t k = 0; k < transactions; ++k) {
      for (uint32_t status : robustness::kInjectedStatuses) {
        BoardConfig config = s.config;
        config.smbusFailures = {{k, status}};
        char what[160];
        std::snprintf(what, sizeof what, "%s, transaction %llu answers 0x%08X", s.name,
                      static_cast<unsigned long long>(k), status);
        if (!Sound(config, what) && ++failures > 20) {
          FAIL() << "more than 20 unsound runs; stopping";
        }
        ++checked;
      }
    }
  }
  std::printf("[ robustness ] %zu single injected faults checked\n", checked);
  EXPECT_GT(checked, 1000U);
}

// Two failures in one short ramp, every ordered pair of transactions: a
// failed step followed by another failure in the same or a later step.
TEST(FaultSweep, EveryPairOfTransactionsFailsInAShortRamp) {
  const BoardConfig clean = robustness::RampConfig(1000, 1002, 1, 3);
  const uint64_t transactions = board::RunNative(clean).board->ClockGen().Transactions();
  size_t checked = 0;
  for (uint64_t a = 0; a < transactions; ++a) {
    for (uint64_t b = a + 1; b < transactions + 2; ++b) {
      BoardConfig config = clean;
      config.smbusFailures = {{a, 0x80000012U}, {b, board::kEfiDeviceError}};
      Sound(config, "transactions " + std::to_string(a) + " and " + std::to_string(b) + " fail");
      ++checked;
    }
  }
  std::printf("[ robustness ] %zu pairs of injected faults checked\n", checked);
}

}  // namespace
