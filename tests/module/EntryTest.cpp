// The entry point and the notification it registers.
#include <gtest/gtest.h>

#include "board/Guid.h"
#include "board/Status.h"
#include "module/ClockRampEntry.h"
#include "pei/PeiAccess.h"
#include "ramp/ClockRamp.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using board::EventKind;
using board::Function;
using moduletest::Only;

TEST(ClockRampNotifyList, IsOneTerminatedCallbackOnTheSmbus2Ppi) {
  EXPECT_EQ(ClockRampNotifyList.Flags, 0x80000020U);
  EXPECT_EQ(ClockRampNotifyList.Guid, &gClockRampSmbus2PpiGuid);
  EXPECT_EQ(ClockRampNotifyList.Notify, &ClockRampNotify);
}

// The events a run made between the entry's call and its return.
std::vector<board::Event> EntryEvents(const board::Trace& trace) {
  std::vector<board::Event> out;
  bool inside = false;
  for (const board::Event& e : trace) {
    if (e.kind == EventKind::Call && e.op == static_cast<uint8_t>(Function::ClockRampEntry)) {
      inside = true;
    } else if (e.kind == EventKind::Return &&
               e.op == static_cast<uint8_t>(Function::ClockRampEntry)) {
      break;
    } else if (inside && e.kind != EventKind::Cpu) {
      out.push_back(e);
    }
  }
  return out;
}

TEST(ClockRampEntry, WithDecodingOnMakesOneReadAndRegisters) {
  board::BoardConfig config;
  config.acpiBase = 0x500;
  config.acpiControl = 0x80;
  board::RunResult run = board::RunNative(config);

  EXPECT_EQ(run.entryStatus, board::kEfiSuccess);
  auto events = EntryEvents(run.trace());
  ASSERT_EQ(events.size(), 4U);
  EXPECT_EQ(events[0].kind, EventKind::Pei);  // LocatePpi(PCD)
  EXPECT_EQ(events[1].kind, EventKind::Pcd);
  EXPECT_EQ(events[2].kind, EventKind::Mmio);
  EXPECT_EQ(events[2].op, static_cast<uint8_t>(board::MmioOp::Read));
  EXPECT_EQ(events[3].kind, EventKind::Pei);
  EXPECT_EQ(events[3].op, static_cast<uint8_t>(board::PeiCall::NotifyPpi));
}

TEST(ClockRampEntry, EnablesDecodingBeforeRegistering) {
  board::RunResult run = board::RunNative(board::BoardConfig{});
  auto events = EntryEvents(run.trace());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().op, static_cast<uint8_t>(board::PeiCall::NotifyPpi));
  EXPECT_EQ(Only(run.trace(), {EventKind::Mmio}).size(), 4U);
  EXPECT_EQ(run.board->Pch().AcpiBase(), 0x500);
  EXPECT_TRUE(run.board->Pch().AcpiDecoding());
}

TEST(ClockRampEntry, ReportsSuccessWhateverNotifyPpiReturns) {
  for (uint32_t status : {board::kEfiSuccess, board::kEfiInvalidParameter, 0x80000009U}) {
    board::BoardConfig config;
    config.notifyPpiStatus = status;
    board::RunResult run = board::RunNative(config);
    EXPECT_EQ(run.entryStatus, board::kEfiSuccess) << status;
    EXPECT_EQ(run.notifications, status == 0 ? 1U : 0U) << status;
    EXPECT_EQ(run.board->ClockGen().Code(), status == 0 ? 1024 : 1000) << status;
  }
}

TEST(ClockRampEntry, TheCallbackRunsAfterTheEntryWhenEverTheSmbus2PpiAppears) {
  for (auto timing : {board::SmbusPpiTiming::BeforeEntry, board::SmbusPpiTiming::AfterEntry}) {
    board::BoardConfig config;
    config.smbusPpi = timing;
    board::RunResult run = board::RunNative(config);
    auto calls = Only(run.trace(), {EventKind::Call, EventKind::Return});
    ASSERT_EQ(calls.size(), 4U);
    EXPECT_EQ(calls[1].kind, EventKind::Return);
    EXPECT_EQ(calls[2].op, static_cast<uint8_t>(Function::ClockRampNotify));
    EXPECT_EQ(run.notifyStatus, board::kEfiSuccess);
    EXPECT_EQ(run.board->ClockGen().Code(), 1024);
  }
  board::BoardConfig absent;
  absent.smbusPpi = board::SmbusPpiTiming::Absent;
  EXPECT_EQ(board::RunNative(absent).notifications, 0U);
}

}  // namespace
