// Fault injection at every SMBus transaction: for each scenario, a clean run
// gives the number of transactions; then each one in turn answers each of
// the injected statuses, and the run is held to the reference model (every
// access, the status, the guard, the registers, the POST codes) and to the
// invariants (tests/robustness/Oracle.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "board/Status.h"
#include "board/Trace.h"
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

// The trace with the statuses of SMBus transactions and of function returns
// cleared: what the module did, without what it was told.
std::vector<board::Event> WithoutStatuses(const board::Trace& trace) {
  std::vector<board::Event> out(trace.Events().begin(), trace.Events().end());
  for (board::Event& e : out) {
    if (e.kind == board::EventKind::Smbus || e.kind == board::EventKind::Return) {
      e.status = 0;
    }
  }
  return out;
}

// A warning is a transaction carried out: answered at any transaction, it
// leaves the traffic (every access, at the same virtual time) and the
// devices at the end exactly as on the clean run. The callback passes the
// warning on only when it came from the final register-8 write of a ramp.
TEST(FaultSweep, AWarningAtAnyTransactionChangesNothingButTheStatus) {
  size_t checked = 0;
  for (const robustness::Scenario& s : robustness::SweepScenarios()) {
    const board::RunResult clean = board::RunNative(s.config);
    ASSERT_TRUE(clean.notifyStatus.has_value()) << s.name;
    const std::vector<board::Event> traffic = WithoutStatuses(clean.trace());
    const uint64_t transactions = clean.board->ClockGen().Transactions();
    const bool ramped = !clean.board->Post().Codes().empty();
    for (uint64_t k = 0; k < transactions; ++k) {
      for (uint32_t warning : {0x00000004U, 0x00000001U, 0x7FFFFFFFU}) {
        BoardConfig config = s.config;
        config.smbusFailures = {{k, warning}};
        const board::RunResult run = board::RunNative(config);
        const std::string what = std::string(s.name) + ", transaction " + std::to_string(k) +
                                 " warns " + std::to_string(warning);
        const auto difference = board::FirstDifference(WithoutStatuses(run.trace()), traffic,
                                                       board::CompareOptions{false, false});
        EXPECT_FALSE(difference.has_value()) << what << ": " << difference.value_or("");
        EXPECT_EQ(run.board->State(), clean.board->State()) << what;
        const bool finalWrite = k + 1 == transactions && ramped &&
                                clean.notifyStatus == std::optional<uint32_t>(board::kEfiSuccess);
        EXPECT_EQ(run.notifyStatus,
                  finalWrite ? std::optional<uint32_t>(warning) : clean.notifyStatus)
            << what;
        ++checked;
      }
    }
  }
  std::printf("[ robustness ] %zu injected warnings checked against the clean runs\n", checked);
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
