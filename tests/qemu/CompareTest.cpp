// The comparison of a QEMU run with the native one: what is cut away, how
// timer waits are matched, and that each kind of difference is caught.
#include <vector>

#include <gtest/gtest.h>

#include "board/NativeEngine.h"
#include "qemu/Compare.h"

namespace {

using board::Event;
using board::IoOp;

Event TimerRead(uint32_t value) { return Event::Io(0, IoOp::In, 0x508, 32, value); }

TEST(QemuCompare, TimerReadsCollapseIntoWaitsAndInvisibleLinesGo) {
  std::vector<Event> trace = {
      Event::Call(0, board::Function::ClockRampEntry),
      Event::Cpu(0, board::CpuOp::Sidt),
      Event::LocatePpi(0, board::guids::kPcdPpi, 0, 0),
      Event::Io(10, IoOp::Out, 0x80, 8, 0xC4),
      TimerRead(100),
      Event::Cpu(0, board::CpuOp::Pause),
      TimerRead(150),
      TimerRead(300),
      Event::Io(0, IoOp::Out, 0x80, 8, 0xC8),
      TimerRead(10),
      TimerRead(20),
  };
  qemu::VisibleTrace v = qemu::Visible(trace);
  ASSERT_EQ(v.events.size(), 4U);
  EXPECT_EQ(v.events[0], Event::Io(0, IoOp::Out, 0x80, 8, 0xC4));  // time stamp dropped
  EXPECT_EQ(v.events[1], TimerRead(0));
  EXPECT_EQ(v.events[3], TimerRead(0));
  ASSERT_EQ(v.waits.size(), 2U);
  EXPECT_EQ(v.waits[0].Ticks(), 200U);
  EXPECT_EQ(v.waits[0].reads, 3U);
  EXPECT_EQ(v.waits[1].Ticks(), 10U);
  EXPECT_EQ(v.dropped, 4U);
  // The 24-bit counter wraps.
  EXPECT_EQ((qemu::TimerWaitSpan{0x508, 0xFFFFF0, 0x10, 2}.Ticks()), 0x20U);
}

TEST(QemuCompare, TheNativeRunOfTheDefaultBoardMatchesItself) {
  board::RunResult native = board::RunNative(board::BoardConfig{});
  const auto& events = native.trace().Events();
  qemu::Comparison c =
      qemu::CompareRuns(events, events.back().Snapshot(), events, events.back().Snapshot());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  EXPECT_GT(c.compared, 1000U);
  EXPECT_GT(c.notSeen, 0U);
}

TEST(QemuCompare, EveryKindOfDifferenceIsCaught) {
  const std::vector<Event> native = {Event::Io(0, IoOp::Out, 0x80, 8, 0xC4), TimerRead(0),
                                     TimerRead(900), Event::Pcd(0, 5, 0xE0000000)};
  board::StateSnapshot state;
  state.post = {0xC4};
  struct Case {
    const char* what;
    std::vector<Event> qemu;
    board::StateSnapshot state;
    bool differs;
  };
  board::StateSnapshot otherState = state;
  otherState.acpiControl = 0x80;
  const std::vector<Case> cases = {
      {"the same, with more polls and other counter values",
       {native[0], TimerRead(5000), TimerRead(5200), TimerRead(5897), native[3]},
       state,
       false},
      {"a wait one poll short still passes",
       {native[0], TimerRead(0), TimerRead(896), native[3]},
       state,
       false},
      {"a wait that ended early",
       {native[0], TimerRead(0), TimerRead(800), native[3]},
       state,
       true},
      {"a missing wait", {native[0], native[3]}, state, true},
      {"another PCD value",
       {native[0], TimerRead(0), TimerRead(900), Event::Pcd(0, 5, 0)},
       state,
       true},
      {"another end state", {native[0], TimerRead(0), TimerRead(900), native[3]}, otherState, true},
  };
  for (const Case& c : cases) {
    qemu::Comparison result = qemu::CompareRuns(native, state, c.qemu, c.state);
    EXPECT_EQ(result.difference.has_value(), c.differs) << c.what;
  }
}

}  // namespace
