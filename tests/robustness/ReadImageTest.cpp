// Transactions that do less than asked: a lost byte-count write, a short
// read. After a short read the image would hold zeros instead of the
// device's registers, and the ramp would start from a wrong code (0 on the
// default board: a jump from code 1000 to 1, then a thousand steps): it
// counts as EFI_DEVICE_ERROR. A transaction that answers a warning was
// carried out, and the module goes on as after EFI_SUCCESS.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "board/NativeEngine.h"
#include "board/Status.h"

namespace {

using board::BoardConfig;

// Errors: the transaction did nothing. (A warning is a transaction carried out.)
constexpr std::array<uint32_t, 3> kErrors = {0x80000007U, 0x80000012U, 0x8000ABCDU};

// The faults whose outcome matters most, stated by hand from docs/module.md
// rather than through the model.
TEST(ReadImageFaults, AFailedByteCountWriteCannotMakeTheRampStartFromAWrongCode) {
  // The default board's register 8 is 0: if the count write is lost the
  // device reports a count of 0 and both reads deliver nothing. The module
  // must not ramp from the zeroed image (code 0) but report the failure.
  for (uint32_t status : kErrors) {
    BoardConfig config;
    config.smbusFailures = {{0, status}};
    board::RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiDeviceError) << std::hex << status;
    EXPECT_EQ(run.board->ClockGen().Code(), 1000) << std::hex << status;
    EXPECT_EQ(run.board->ClockGen().Registers(), config.clockGenerator) << std::hex << status;
    EXPECT_TRUE(run.board->Post().Codes().empty()) << std::hex << status;
  }
}

TEST(ReadImageFaults, AReadThatDeliversLessThanTheCodeRegistersEndsTheCallback) {
  struct Case {
    const char* name;
    std::optional<uint8_t> reported;
    std::vector<board::SmbusFailure> failures;
    uint64_t transactions;  // the count write and the reads up to the faulty one
  };
  const std::vector<Case> cases = {
      {"count 3: the first read stops at register 2", 3, {}, 2},
      {"count 0: nothing is read", 0, {}, 2},
      {"count 3 and a warning on the first read", 3, {{1, 0x00000004U}}, 2},
      {"count 3 and a warning on the byte-count write", 3, {{0, 0x00000004U}}, 2},
  };
  for (const Case& c : cases) {
    BoardConfig config;
    config.clockGenerator[3] = 0x85;  // bits the module must never touch
    config.clockGenerator[9] = 0x81;
    config.reportedByteCount = c.reported;
    config.smbusFailures = c.failures;
    board::RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiDeviceError) << c.name;
    std::array<uint8_t, 256> expected = config.clockGenerator;
    expected[8] = 0x11;  // the count written before the reads
    EXPECT_EQ(run.board->ClockGen().Registers(), expected) << c.name;
    EXPECT_EQ(run.board->ClockGen().Transactions(), c.transactions) << c.name;
  }
  // A count of 4 reaches register 20: the ramp runs.
  BoardConfig config;
  config.clockGenerator = board::MakeClockGeneratorRegisters(1000);
  config.setup = board::MakeSetup(1002, 0, 1);
  config.reportedByteCount = 17;
  EXPECT_EQ(board::RunNative(config).board->ClockGen().Code(), 1002);
}

TEST(ReadImageFaults, AWarningOnAReadOrWriteIsCarriedOutAndTheRampGoesOn) {
  // Ramp 1000 -> 1001, level 0 already set: 8, read, read, 0, 1, then the
  // step: 3, 9, code (transaction 7), 9, 3, and the final 8 (transaction 10).
  BoardConfig clean;
  clean.setup = board::MakeSetup(1001, 0, 1);
  board::RunResult reference = board::RunNative(clean);
  ASSERT_EQ(reference.notifyStatus, board::kEfiSuccess);
  ASSERT_EQ(reference.board->ClockGen().Transactions(), 11U);
  for (uint64_t transaction = 0; transaction < 11; ++transaction) {
    for (uint32_t warning : {0x00000004U, 0x00000001U, 0x7FFFFFFFU}) {
      BoardConfig config = clean;
      config.smbusFailures = {{transaction, warning}};
      board::RunResult run = board::RunNative(config);
      // Only the final register-8 write's warning is the callback's status.
      EXPECT_EQ(run.notifyStatus, transaction == 10 ? warning : board::kEfiSuccess) << transaction;
      EXPECT_EQ(run.board->ClockGen().Code(), 1001) << transaction;
      EXPECT_EQ(run.board->State(), reference.board->State()) << transaction;
      EXPECT_EQ(run.board->Post().Codes(), (std::vector<uint8_t>{0xC4, 0xC8, 0xCC})) << transaction;
      EXPECT_FALSE(run.board->Sio().GuardArmed()) << transaction;
    }
  }
}

}  // namespace
