// ACPI I/O space enabling and the busy-wait delays on the ACPI PM timer.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "board/Status.h"
#include "pei/PeiAccess.h"
#include "tests/module/ModuleTestSupport.h"
#include "timer/AcpiTimer.h"

namespace {

using board::EventKind;
using board::MmioOp;
using moduletest::Bench;
using moduletest::Only;
using moduletest::TimerReads;

constexpr uint64_t kBase40 = 0xE00FA040U;
constexpr uint64_t kControl44 = 0xE00FA044U;

// A board with ACPI decoding on at 0x500 and the timer starting at `start`.
board::BoardConfig Decoding(uint32_t start) {
  board::BoardConfig config;
  config.acpiBase = 0x500;
  config.acpiControl = 0x80;
  config.timerStart = start;
  return config;
}

uint32_t Elapsed(uint32_t from, uint32_t to) { return (to - from) & 0xFFFFFFU; }

TEST(AcpiTimerTicks, TruncatesAndSaturates) {
  struct Case {
    uint32_t us;
    uint32_t ticks;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 3}, Case{50, 178}, Case{255, 912},
                        Case{1000000, 3579545}, Case{1199864031, 0xFFFFFFFCU},
                        Case{1199864032, 0xFFFFFFFFU}, Case{0xFFFFFFFFU, 0xFFFFFFFFU}}) {
    EXPECT_EQ(AcpiTimerTicks(c.us), c.ticks) << c.us;
  }
}

TEST(DelayMicroseconds, EndsAtTheFirstReadingFarEnoughPastTheStart) {
  struct Case {
    uint32_t us;
    uint32_t start;
    uint32_t ticks;
  };
  // The last cases cross the counter's 24-bit wrap.
  for (const Case& c : {Case{0, 0, 0}, Case{0, 0xFFFFFF, 0}, Case{50, 100, 178}, Case{255, 0, 912},
                        Case{255, 0xFFFE00, 912}, Case{255, 0xFFFFFF, 912}}) {
    Bench bench(Decoding(c.start));
    EXPECT_EQ(DelayMicroseconds(c.us), c.us);

    std::vector<uint32_t> reads = TimerReads(bench.Trace());
    ASSERT_GE(reads.size(), 2U);
    const uint32_t start = reads.front();
    for (size_t i = 1; i + 1 < reads.size(); ++i) {
      EXPECT_LE(Elapsed(start, reads[i]), c.ticks) << c.us << " read " << i;
    }
    EXPECT_GE(Elapsed(start, reads.back()), c.ticks + 1) << c.us;
    EXPECT_LT(Elapsed(start, reads.back()), c.ticks + 8) << c.us;
    // One PAUSE between successive polls (not after the starting read).
    EXPECT_EQ(Only(bench.Trace(), {EventKind::Cpu}).size(), reads.size() - 2);
  }
}

TEST(WaitAcpiTicks, SplitsIntoAFirstPieceAndWholePiecesOf2To22) {
  board::BoardConfig config = Decoding(0x123456);
  config.hangLimitNs = 2'000'000'000;
  Bench bench(config);
  WaitAcpiTicks(0x400000);

  // A piece of 0 ticks ends at the first reading past its start; the second
  // piece starts from a fresh reading and lasts 2^22 ticks.
  std::vector<uint32_t> reads = TimerReads(bench.Trace());
  std::vector<size_t> pieces = moduletest::SplitWaits(reads, 0);
  ASSERT_GE(pieces.size(), 2U);
  const size_t secondStart = pieces[0];
  EXPECT_EQ(secondStart, 2U);
  EXPECT_GE(Elapsed(reads[secondStart], reads.back()), 0x400001U);
  EXPECT_LT(Elapsed(reads[secondStart], reads.back()), 0x400008U);
  EXPECT_LE(Elapsed(reads[secondStart], reads[reads.size() - 2]), 0x400000U);
}

// A wait of 2^22 ticks or more, with a first piece of 0x1234 ticks, on a
// timer that starts 0x100 ticks before its 24-bit wrap.
constexpr uint32_t kLongWait = 0x400000 + 0x1234;
constexpr uint32_t kBeforeWrap = 0xFFFF00;

TEST(WaitAcpiTicks, ALongWaitAcrossTheWrapLastsItsFullLength) {
  board::BoardConfig config = Decoding(kBeforeWrap);
  config.hangLimitNs = 2'000'000'000;
  Bench bench(config);
  WaitAcpiTicks(kLongWait);

  // From its first reading to its last the whole wait spans at least its
  // length, and not much more: each piece overshoots by at most one poll.
  std::vector<uint32_t> reads = TimerReads(bench.Trace());
  ASSERT_GE(reads.size(), 4U);
  EXPECT_GE(reads.front(), kBeforeWrap);
  EXPECT_GE(Elapsed(reads.front(), reads.back()), kLongWait + 1);
  EXPECT_LT(Elapsed(reads.front(), reads.back()), kLongWait + 16);
}

TEST(WaitAcpiTicks, ALongWaitNeverEndsEarlyWhenTheTimerStandsStill) {
  // A first piece of 100 ticks (28 us) across the wrap, then one of 2^22.
  // The timer stops at some point of the first 50 us (every 250 ns, so also
  // just as the second piece takes its starting reading), or never. No wait
  // of 2^22 ticks can end within 200 us, so every run must be stopped by the
  // board as a hang rather than return.
  constexpr uint32_t kTicks = 0x400000 + 100;
  std::vector<std::optional<uint64_t>> stops = {std::nullopt};
  for (uint64_t ns = 0; ns <= 50'000; ns += 250) {
    stops.emplace_back(ns);
  }
  for (const std::optional<uint64_t>& stop : stops) {
    board::BoardConfig config = Decoding(0xFFFFC0);
    config.hangLimitNs = 200'000;
    if (stop) {
      config.timerMode = board::TimerMode::StopsAfter;
      config.timerStopsAfterNs = *stop;
    }
    Bench bench(config);
    EXPECT_THROW(WaitAcpiTicks(kTicks), board::RunStopped)
        << "timer stopping at " << stop.value_or(0) << " ns";
  }
}

TEST(EnableAcpiIoSpace, LeavesDecodingThatIsAlreadyOnAlone) {
  for (uint16_t base : {uint16_t{0x500}, uint16_t{0x600}}) {
    board::BoardConfig config;
    config.acpiBase = base;
    config.acpiControl = 0x81;
    Bench bench(config);
    EnableAcpiIoSpace();

    auto mmio = Only(bench.Trace(), {EventKind::Mmio});
    ASSERT_EQ(mmio.size(), 1U);
    EXPECT_EQ(mmio[0].op, static_cast<uint8_t>(MmioOp::Read));
    EXPECT_EQ(mmio[0].address, kControl44);
    EXPECT_EQ(Only(bench.Trace(), {EventKind::Pcd}).size(), 1U);
    EXPECT_EQ(bench.board->Pch().AcpiBase(), base);
  }
}

TEST(EnableAcpiIoSpace, SetsTheBaseThenTheDecodeBitWithThreeLookups) {
  board::BoardConfig config;
  config.acpiBase = 0x1234;
  config.acpiControl = 0x05;
  Bench bench(config);
  EnableAcpiIoSpace();

  auto mmio = Only(bench.Trace(), {EventKind::Mmio});
  ASSERT_EQ(mmio.size(), 4U);
  EXPECT_EQ(mmio[0].op, static_cast<uint8_t>(MmioOp::Read));
  EXPECT_EQ(mmio[0].address, kControl44);
  EXPECT_EQ(mmio[1].op, static_cast<uint8_t>(MmioOp::Write));
  EXPECT_EQ(mmio[1].address, kBase40);
  EXPECT_EQ(mmio[1].width, 16);
  EXPECT_EQ(mmio[1].value, 0x0500U);
  EXPECT_EQ(mmio[2].op, static_cast<uint8_t>(MmioOp::Read));
  EXPECT_EQ(mmio[2].address, kControl44);
  EXPECT_EQ(mmio[3].op, static_cast<uint8_t>(MmioOp::Write));
  EXPECT_EQ(mmio[3].address, kControl44);
  EXPECT_EQ(mmio[3].value, 0x85U);
  EXPECT_EQ(Only(bench.Trace(), {EventKind::Pcd}).size(), 3U);
  EXPECT_TRUE(bench.board->Pch().AcpiDecoding());
  EXPECT_EQ(bench.board->Pch().AcpiBase(), 0x500);
}

TEST(EnableAcpiIoSpace, ADelayOnAnotherBaseIsReportedAsAHang) {
  board::BoardConfig config;
  config.acpiBase = 0x600;
  config.acpiControl = 0x80;
  config.hangLimitNs = 1'000'000;
  Bench bench(config);
  EnableAcpiIoSpace();
  EXPECT_THROW(DelayMicroseconds(10), board::RunStopped);

  EXPECT_TRUE(bench.board->Stopped());
  EXPECT_EQ(bench.Trace()[bench.Trace().size() - 1].kind, EventKind::Hang);
  for (uint32_t value : TimerReads(bench.Trace())) {
    EXPECT_EQ(value, 0xFFFFFFFFU);  // nothing decodes 0x508
  }
}

}  // namespace
