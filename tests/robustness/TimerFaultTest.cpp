// Timer faults over whole runs: a timer that never answers, is frozen, or
// stops in the middle of a wait must end the run as a reported hang inside a
// delay; a timer that wraps near 0xFFFFFF must neither shorten nor lengthen
// a wait. Every run is also held to the reference model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/robustness/Oracle.h"
#include "tests/robustness/Scenarios.h"

namespace {

using board::BoardConfig;
using board::EventKind;

constexpr uint32_t kMask = 0xFFFFFF;

std::string Problems(const BoardConfig& config, const board::RunResult& run) {
  std::string text;
  for (const std::string& line : robustness::CheckRun(config, run, *run.board)) {
    text += "\n  " + line;
  }
  return text;
}

// The virtual times of the callback's timer reads.
std::vector<uint64_t> TimerReadTimes(const board::Trace& trace) {
  std::vector<uint64_t> times;
  for (const board::Event& e : trace) {
    if (e.kind == EventKind::Io && e.address == 0x508) {
      times.push_back(e.t);
    }
  }
  return times;
}

TEST(TimerFaults, ATimerThatCannotAnswerOrMoveIsReportedAsAHang) {
  struct Case {
    const char* name;
    BoardConfig config;
  };
  std::vector<Case> cases;
  BoardConfig frozen = robustness::RampConfig(1000, 1003, 0xFF, 5);
  frozen.timerMode = board::TimerMode::Frozen;
  frozen.timerStart = 0x123456;
  cases.push_back({"frozen", frozen});
  BoardConfig zeroDelay = frozen;
  zeroDelay.setup = board::MakeSetup(1003, 0xFF, 0);  // even a 0 us wait needs the counter to move
  cases.push_back({"frozen, 0 us delays", zeroDelay});
  BoardConfig noPcd = robustness::RampConfig(1000, 1003, 1, 5);
  noPcd.pcdPpi = false;  // the entry cannot switch decoding on
  cases.push_back({"no PCD PPI", noPcd});
  BoardConfig elsewhere = robustness::RampConfig(1000, 1003, 1, 5);
  elsewhere.acpiBase = 0x1800;
  elsewhere.acpiControl = 0x80;  // decoding already on, at another base
  cases.push_back({"decoding at another base", elsewhere});
  BoardConfig wrongPcd = robustness::RampConfig(1000, 1003, 1, 5);
  wrongPcd.pcdPcieBase = 0xC0000000;
  cases.push_back({"PCD answers another window", wrongPcd});

  for (Case& c : cases) {
    c.config.hangLimitNs = 1'000'000;
    board::RunResult run = board::RunNative(c.config);
    EXPECT_TRUE(run.hung) << c.name;
    EXPECT_FALSE(run.notifyStatus.has_value()) << c.name;
    EXPECT_NE(run.board->StopReason().find("port 0x0508"), std::string::npos) << c.name;
    // The first delay is where it stops: the level write before it was made,
    // no step has begun.
    EXPECT_TRUE(run.board->Post().Codes().empty()) << c.name;
    EXPECT_EQ(Problems(c.config, run), "") << c.name;
  }
}

TEST(TimerFaults, NoDelayNoHang) {
  // The code already at its target needs no delay: a frozen timer is harmless.
  BoardConfig config = robustness::RampConfig(1000, 1000, 0xFF, 50);
  config.timerMode = board::TimerMode::Frozen;
  board::RunResult run = board::RunNative(config);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.notifyStatus, std::optional<uint32_t>(0));
  EXPECT_EQ(Problems(config, run), "");
}

TEST(TimerFaults, ATimerStoppingInAnyWaitHangsThere) {
  const BoardConfig clean = robustness::RampConfig(1000, 1003, 0xFF, 10);
  const std::vector<uint64_t> times = TimerReadTimes(board::RunNative(clean).trace());
  ASSERT_GT(times.size(), 40U);
  // Stop the timer at a few points spread over the run's waits.
  size_t hangs = 0;
  for (size_t i = 1; i < times.size(); i += times.size() / 9) {
    BoardConfig config = clean;
    config.timerMode = board::TimerMode::StopsAfter;
    config.timerStopsAfterNs = times[i];
    config.hangLimitNs = 1'000'000;
    board::RunResult run = board::RunNative(config);
    EXPECT_TRUE(run.hung) << "stopped at read " << i;
    EXPECT_EQ(Problems(config, run), "") << "stopped at read " << i;
    hangs += run.hung ? 1 : 0;
    // Nothing after the hang: the trace ends with the hang and the state.
    const board::Trace& trace = run.trace();
    ASSERT_GE(trace.size(), 2U);
    EXPECT_EQ(trace[trace.size() - 2].kind, EventKind::Hang);
  }
  EXPECT_GE(hangs, 9U);

  // Stopping after the last wait changes nothing.
  BoardConfig late = clean;
  late.timerMode = board::TimerMode::StopsAfter;
  late.timerStopsAfterNs = times.back() + 1;
  board::RunResult run = board::RunNative(late);
  EXPECT_FALSE(run.hung);
  EXPECT_EQ(run.board->ClockGen().Code(), 1003);
}

TEST(TimerFaults, WrappingNearTheTopNeitherShortensNorLengthensAWait) {
  const BoardConfig clean = robustness::RampConfig(1000, 1004, 0xFF, 50);
  const uint32_t ticks = 50 * 3579545 / 1000000;
  // The wrap lands before the run, at its first wait, and in later waits.
  const std::vector<uint64_t> times = TimerReadTimes(board::RunNative(clean).trace());
  ASSERT_FALSE(times.empty());
  // {start, whether the counter wraps inside a wait}
  std::vector<std::pair<uint32_t, bool>> starts = {
      {kMask, false}, {kMask - 1, false}, {kMask - ticks, false}};
  for (size_t i : {size_t{0}, size_t{1}, times.size() / 3, times.size() / 2, times.size() - 2}) {
    // A start that makes read i the last one before the counter wraps.
    const auto elapsed = static_cast<uint32_t>(board::AcpiTimer::TicksAt(times[i]));
    starts.emplace_back((kMask - elapsed) & kMask, true);
  }
  for (const auto& [start, wraps] : starts) {
    BoardConfig config = clean;
    config.timerStart = start;
    board::RunResult run = board::RunNative(config);
    EXPECT_FALSE(run.hung) << std::hex << start;
    EXPECT_EQ(run.board->ClockGen().Code(), 1004) << std::hex << start;
    EXPECT_EQ(Problems(config, run), "") << std::hex << start;

    // Each wait, split by its own reads: ends at the first read past
    // start + ticks, and no read before that one was past it.
    std::vector<uint32_t> reads;
    for (const board::Event& e : run.trace()) {
      if (e.kind == EventKind::Io && e.address == 0x508) {
        reads.push_back(static_cast<uint32_t>(e.value));
      }
    }
    size_t waits = 0;
    bool wrapped = false;
    for (size_t k = 0; k < reads.size();) {
      const uint32_t first = reads[k++];
      uint32_t elapsed = 0;
      while (k < reads.size() && (elapsed = (reads[k] - first) & kMask) < ticks + 1) {
        wrapped = wrapped || reads[k] < first;
        ++k;
      }
      wrapped = wrapped || (k < reads.size() && reads[k] < first);
      EXPECT_GE(elapsed, ticks + 1) << std::hex << start;
      EXPECT_LE(elapsed, ticks + 4) << std::hex << start;  // one poll is under 4 ticks
      ++waits;
      ++k;
    }
    EXPECT_EQ(waits, 8U) << std::hex << start;  // a level delay and a step delay per code
    if (wraps) {
      EXPECT_TRUE(wrapped) << std::hex << start << ": the counter did not wrap inside a wait";
    }
  }
}

}  // namespace
