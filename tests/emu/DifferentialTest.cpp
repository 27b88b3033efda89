// The differential check over seeded random boards: the IA-32 image and the
// native build must leave identical traces and final states, and the random
// boards must reach the module's varied outcomes (or the check proves little).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "board/NativeEngine.h"
#include "board/Status.h"
#include "board/Trace.h"
#include "emu/Differential.h"
#include "emu/Ia32Engine.h"

namespace {

constexpr uint64_t kScenarios = 200;
constexpr uint64_t kFirstSeed = 0x5EED0000;

TEST(Differential, RandomBoardsRunIdenticallyOnBothEngines) {
  emu::EmuOptions options;
  options.image = emu::ReadImage(emu::DefaultImagePath());
  options.measure = false;

  unsigned hung = 0;
  unsigned ramped = 0;
  unsigned step_failures = 0;
  unsigned warned = 0;       // runs in which a transaction answered a warning
  unsigned warned_read = 0;  // ... one of the image reads among them
  std::set<uint32_t> notify_statuses;
  for (uint64_t seed = kFirstSeed; seed < kFirstSeed + kScenarios; ++seed) {
    board::BoardConfig config = emu::RandomConfig(seed);
    emu::Comparison c = emu::RunBoth(config, options);
    ASSERT_FALSE(c.difference.has_value())
        << "seed " << seed << ": " << emu::DescribeConfig(config) << "\n"
        << *c.difference;
    if (seed < kFirstSeed + kScenarios / 4) {
      // The streaming check (IA-32 events compared as they happen) agrees.
      EXPECT_EQ(emu::CheckBoth(config, options), std::nullopt) << "seed " << seed;
    }
    hung += c.native.hung ? 1 : 0;
    bool any_warning = false;
    bool read_warning = false;
    for (const board::Event& e : c.native.trace().Events()) {
      const bool warning = e.kind == board::EventKind::Smbus && e.status != board::kEfiSuccess &&
                           !board::IsError(e.status);
      any_warning = any_warning || warning;
      read_warning = read_warning ||
                     (warning && e.op == static_cast<uint8_t>(board::SmbusOperation::ReadBlock));
    }
    warned += any_warning ? 1 : 0;
    warned_read += read_warning ? 1 : 0;
    if (c.native.notifyStatus) {
      notify_statuses.insert(*c.native.notifyStatus);
      bool moved = c.native.board->ClockGen().Code() !=
                   ((config.clockGenerator[20] & 7) << 8 | config.clockGenerator[19]);
      ramped += moved ? 1 : 0;
      step_failures += moved && board::IsError(*c.native.notifyStatus) ? 1 : 0;
    }
  }
  // The scenarios reach hangs, ramps, ramps with failed steps and a spread
  // of callback results (success, bad size, bad target, injected failures).
  EXPECT_GE(hung, 5U);
  EXPECT_GE(ramped, 50U);
  EXPECT_GE(step_failures, 5U);
  EXPECT_GE(warned, 30U);
  EXPECT_GE(warned_read, 5U);
  EXPECT_GE(notify_statuses.size(), 6U);
  EXPECT_TRUE(notify_statuses.count(board::kEfiSuccess));
  EXPECT_TRUE(notify_statuses.count(0x80000004U));  // EFI_BAD_BUFFER_SIZE
  EXPECT_TRUE(notify_statuses.count(board::kEfiInvalidParameter));
}

TEST(Differential, SameSeedSameBoardOtherSeedOtherBoard) {
  EXPECT_EQ(emu::DescribeConfig(emu::RandomConfig(7)), emu::DescribeConfig(emu::RandomConfig(7)));
  std::set<std::string> boards;
  for (uint64_t seed = 0; seed < 50; ++seed) {
    boards.insert(emu::DescribeConfig(emu::RandomConfig(seed)));
  }
  EXPECT_EQ(boards.size(), 50U);
}

TEST(Differential, ReportsTheFirstDifferingLine) {
  emu::EmuOptions options;
  options.image = emu::ReadImage(emu::DefaultImagePath());
  board::BoardConfig config;
  board::RunResult native = board::RunNative(config);
  // The same board with one step less to go: the traces part at the last step.
  config.setup = board::MakeSetup(1023, board::setup::kLevelAutomatic, 50);
  emu::EmuResult ia32 = emu::RunIa32(config, options);
  auto difference = emu::Compare(native, ia32);
  ASSERT_TRUE(difference.has_value());
  EXPECT_NE(difference->find("trace"), std::string::npos) << *difference;
}

}  // namespace
