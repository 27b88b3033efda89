// The reference model and its checks must be able to fail: a run held to
// the expectation of a slightly different board has to be reported, by the
// access-by-access comparison and by the invariants alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board/Status.h"
#include "tests/robustness/Oracle.h"
#include "tests/robustness/Scenarios.h"

namespace {

using board::BoardConfig;
using robustness::CheckRun;

bool Mentions(const std::vector<std::string>& problems, const std::string& part) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(part) != std::string::npos; });
}

TEST(Oracle, TheDefaultBoardExpectsTwentyFourGuardedSteps) {
  const robustness::Expectation e = robustness::Expect(BoardConfig{});
  EXPECT_TRUE(e.delivered);
  EXPECT_TRUE(e.timerAnswers);
  EXPECT_EQ(e.status, board::kEfiSuccess);
  EXPECT_EQ(e.steps, 24U);
  EXPECT_EQ(e.post.size(), 72U);
  EXPECT_EQ(((e.registers[20] & 7) << 8) | e.registers[19], 1024);
  EXPECT_EQ(e.registers[8], 1);
  EXPECT_EQ(e.registers[6], 0xFF);
  EXPECT_EQ(e.ldn8RegF6, 0);
  const auto delays = std::count_if(e.actions.begin(), e.actions.end(), [](const auto& a) {
    return a.kind == robustness::Act::Delay;
  });
  EXPECT_EQ(delays, 48);
}

TEST(Oracle, ReportsARunThatDoesNotMatchTheBoardItIsHeldTo) {
  struct Case {
    const char* name;
    BoardConfig ran;
    BoardConfig heldTo;
    const char* mention;
  };
  const BoardConfig base = robustness::RampConfig(1000, 1003, 0xFF, 5);
  std::vector<Case> cases;
  {
    BoardConfig failed = base;
    failed.smbusFailures = {{12, board::kEfiDeviceError}};
    cases.push_back({"an unexpected failure", failed, base, "action"});
    cases.push_back({"a missing failure", base, failed, "action"});
  }
  {
    BoardConfig further = base;
    further.setup = board::MakeSetup(1004, 0xFF, 5);
    cases.push_back({"one step short", base, further, "expected write command 6"});
    cases.push_back({"one step too many", further, base, "expected write command 8"});
  }
  {
    BoardConfig longer = base;
    longer.setup = board::MakeSetup(1003, 0xFF, 6);
    cases.push_back({"waits too short", base, longer, "delay"});
  }
  {
    BoardConfig other = base;
    other.clockGenerator[5] = 0x11;
    cases.push_back({"a register outside the masks", other, base, "outside its mask"});
  }
  {
    BoardConfig frozen = base;
    frozen.timerMode = board::TimerMode::Frozen;
    frozen.hangLimitNs = 1'000'000;
    cases.push_back({"a hang on a moving timer", frozen, base, "hung although the timer"});
  }
  {
    BoardConfig armed = base;
    armed.superIoDevices[0x0A][0xE7] = 0x08;
    cases.push_back({"Super I/O state", armed, base, "action"});
  }
  for (const Case& c : cases) {
    board::RunResult run = board::RunNative(c.ran);
    EXPECT_TRUE(CheckRun(c.ran, run, *run.board).empty())
        << c.name << ": the run is sound against its own board";
    const std::vector<std::string> problems = CheckRun(c.heldTo, run, *run.board);
    std::string all;
    for (const std::string& p : problems) {
      all += "\n  " + p;
    }
    EXPECT_TRUE(Mentions(problems, c.mention)) << c.name << all;
  }
}

}  // namespace
