#include "board/NativeEngine.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "board/Status.h"

namespace board {
namespace {

// Index of the first event matching a predicate, or the trace size.
template <typename Pred>
size_t FindEvent(const Trace& trace, Pred pred) {
  auto it = std::find_if(trace.begin(), trace.end(), pred);
  return static_cast<size_t>(it - trace.begin());
}

bool IsCall(const Event& e, Function fn) {
  return e.kind == EventKind::Call && e.op == static_cast<uint8_t>(fn);
}

bool IsReturn(const Event& e, Function fn) {
  return e.kind == EventKind::Return && e.op == static_cast<uint8_t>(fn);
}

TEST(NativeEngine, DefaultBoardRampsTo1024) {
  RunResult run = RunNative(BoardConfig{});
  EXPECT_EQ(run.entryStatus, kEfiSuccess);
  EXPECT_EQ(run.notifyStatus, kEfiSuccess);
  EXPECT_FALSE(run.hung);
  const Board& board = *run.board;
  EXPECT_EQ(board.ClockGen().Code(), 1024);
  EXPECT_EQ(board.ClockGen().Register(8), 1);
  EXPECT_FALSE(board.Sio().GuardArmed());
  EXPECT_EQ(board.Post().Codes().size(), 24U * 3U);
  EXPECT_TRUE(board.Pch().AcpiDecoding());

  const Trace& trace = run.trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(IsCall(trace[0], Function::ClockRampEntry));
  EXPECT_EQ(trace[trace.size() - 1].kind, EventKind::State);
  EXPECT_EQ(trace[trace.size() - 1].Snapshot().clockGenerator[19], 1024 & 0xFF);
  EXPECT_TRUE(std::is_sorted(trace.begin(), trace.end(),
                             [](const Event& a, const Event& b) { return a.t < b.t; }));
}

TEST(NativeEngine, NotificationArrivesAfterTheEntryHasReturned) {
  struct Case {
    SmbusPpiTiming timing;
    uint32_t notifyStatus;
    uint32_t notifications;
  };
  for (const Case& c : std::vector<Case>{{SmbusPpiTiming::BeforeEntry, 0, 1},
                                         {SmbusPpiTiming::AfterEntry, 0, 1},
                                         {SmbusPpiTiming::Absent, 0, 0},
                                         {SmbusPpiTiming::AfterEntry, kEfiDeviceError, 0}}) {
    BoardConfig config;
    config.smbusPpi = c.timing;
    config.notifyPpiStatus = c.notifyStatus;
    RunResult run = RunNative(config);
    EXPECT_EQ(run.entryStatus, kEfiSuccess);
    EXPECT_EQ(run.notifications, c.notifications);
    EXPECT_EQ(run.notifyStatus.has_value(), c.notifications != 0);
    const Trace& trace = run.trace();
    size_t entryReturn =
        FindEvent(trace, [](const Event& e) { return IsReturn(e, Function::ClockRampEntry); });
    size_t notifyCall =
        FindEvent(trace, [](const Event& e) { return IsCall(e, Function::ClockRampNotify); });
    ASSERT_LT(entryReturn, trace.size());
    if (c.notifications != 0) {
      EXPECT_EQ(notifyCall, entryReturn + 1);
    } else {
      EXPECT_EQ(notifyCall, trace.size());
      EXPECT_EQ(run.board->ClockGen().Code(), 1000);
    }
  }
}

TEST(NativeEngine, HangUnwindsTheCallbackAndStillEndsWithState) {
  BoardConfig config;
  config.pcdPpi = false;  // no configuration base: the timer never gets decoded
  config.hangLimitNs = 2000000;
  RunResult run = RunNative(config);
  EXPECT_TRUE(run.hung);
  EXPECT_EQ(run.entryStatus, kEfiSuccess);
  EXPECT_FALSE(run.notifyStatus);
  EXPECT_EQ(run.notifications, 1U);
  const Trace& trace = run.trace();
  ASSERT_GE(trace.size(), 2U);
  EXPECT_EQ(trace[trace.size() - 2].kind, EventKind::Hang);
  EXPECT_EQ(trace[trace.size() - 1].kind, EventKind::State);
  EXPECT_EQ(FindEvent(trace, [](const Event& e) { return IsReturn(e, Function::ClockRampNotify); }),
            trace.size());
}

// A poll the virtual-time limit would allow for a second (a million timer
// readings) passes a wall-clock limit of 1 ms first: the run is stopped as a
// hang with the wall clock as its reason, and ends as any hang does.
TEST(NativeEngine, WallClockLimitStopsARunAsAHang) {
  BoardConfig config;
  config.timerMode = TimerMode::Frozen;
  config.hangLimitNs = 1'000'000'000;
  config.wallClockLimitMs = 1;
  Board board(config, nullptr);
  RunOutcome run = RunNative(board);
  EXPECT_TRUE(run.hung);
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(board.StopReason(), "wall-clock limit of 1 ms reached");
  const Trace& trace = board.Events();
  ASSERT_GE(trace.size(), 2U);
  EXPECT_EQ(trace[trace.size() - 2].kind, EventKind::Hang);
  EXPECT_EQ(trace[trace.size() - 1].kind, EventKind::State);
}

}  // namespace
}  // namespace board
