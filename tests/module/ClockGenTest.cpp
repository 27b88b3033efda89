// The clock generator's transactions: the image fill, single-register,
// level and code writes, and how failures come back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "board/Status.h"
#include "clockgen/ClockGen.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using board::SmbusOperation;
using moduletest::Bench;
using moduletest::IsSmbus;
using moduletest::Only;

// Registers 0..255 with distinct values, register 8 as 17.
std::array<uint8_t, 256> DistinctRegisters() {
  std::array<uint8_t, 256> regs{};
  for (size_t i = 0; i < regs.size(); ++i) {
    regs[i] = static_cast<uint8_t>(0x40 + i * 3);
  }
  regs[8] = 0x11;
  return regs;
}

// An image with guard bytes after it, to see any write past its end.
struct GuardedImage {
  uint8_t image[CLOCK_GEN_IMAGE_SIZE];
  uint8_t guard[64];
  GuardedImage() {
    std::memset(image, 0, sizeof image);
    std::memset(guard, 0x5A, sizeof guard);
  }
  [[nodiscard]] bool GuardIntact() const {
    for (uint8_t b : guard) {
      if (b != 0x5A) {
        return false;
      }
    }
    return true;
  }
};

TEST(ClockGenReadImage, FillsSeventeenPlusSeventeenAndLeavesByte34Zero) {
  board::BoardConfig config;
  config.clockGenerator = DistinctRegisters();
  Bench bench(config);
  GuardedImage g;

  EXPECT_EQ(ClockGenReadImage(bench.Smbus(), g.image), EFI_SUCCESS);

  for (size_t i = 0; i < 34; ++i) {
    EXPECT_EQ(g.image[i], config.clockGenerator[i]) << "register " << i;
  }
  EXPECT_EQ(g.image[34], 0);
  EXPECT_TRUE(g.GuardIntact());

  auto smbus = Only(bench.Trace(), {board::EventKind::Smbus});
  ASSERT_EQ(smbus.size(), 3U);
  EXPECT_TRUE(IsSmbus(smbus[0], SmbusOperation::WriteBlock, 8));
  EXPECT_EQ(smbus[0].Data(), std::vector<uint8_t>{0x11});
  EXPECT_EQ(smbus[0].address, CLOCK_GEN_SMBUS_ADDRESS);
  EXPECT_TRUE(IsSmbus(smbus[1], SmbusOperation::ReadBlock, 0));
  EXPECT_EQ(smbus[1].length, 17U);
  EXPECT_TRUE(IsSmbus(smbus[2], SmbusOperation::ReadBlock, 17));
  EXPECT_EQ(smbus[2].length, 17U);
}

TEST(ClockGenReadImage, IgnoresAFailedByteCountWrite) {
  board::BoardConfig config;
  config.clockGenerator = DistinctRegisters();
  config.smbusFailures = {{0, board::kEfiDeviceError}};
  Bench bench(config);
  GuardedImage g;

  EXPECT_EQ(ClockGenReadImage(bench.Smbus(), g.image), EFI_SUCCESS);
  EXPECT_EQ(Only(bench.Trace(), {board::EventKind::Smbus}).size(), 3U);
  EXPECT_EQ(g.image[33], config.clockGenerator[33]);
}

TEST(ClockGenReadImage, BoundsALargeReportedCountToTheImage) {
  board::BoardConfig config;
  config.clockGenerator = DistinctRegisters();
  config.reportedByteCount = 32;
  Bench bench(config);
  GuardedImage g;

  EXPECT_EQ(ClockGenReadImage(bench.Smbus(), g.image), EFI_SUCCESS);

  auto smbus = Only(bench.Trace(), {board::EventKind::Smbus});
  ASSERT_EQ(smbus.size(), 3U);
  EXPECT_EQ(smbus[1].length, 17U);
  EXPECT_EQ(smbus[2].length, 18U);  // registers 17..34, the room left
  EXPECT_EQ(g.image[8], 32);
  EXPECT_EQ(g.image[34], config.clockGenerator[34]);
  EXPECT_TRUE(g.GuardIntact());
}

TEST(ClockGenReadImage, ReturnsAFailedReadUnchanged) {
  struct Case {
    uint64_t transaction;
    uint32_t status;
    size_t filledUpTo;  // image bytes [0, filledUpTo) hold device values
  };
  for (const Case& c : {Case{1, board::kEfiDeviceError, 0}, Case{1, 0x80000012U, 0},
                        Case{2, board::kEfiDeviceError, 17}, Case{2, 0x8000FFFFU, 17}}) {
    board::BoardConfig config;
    config.clockGenerator = DistinctRegisters();
    config.smbusFailures = {{c.transaction, c.status}};
    Bench bench(config);
    GuardedImage g;

    EXPECT_EQ(ClockGenReadImage(bench.Smbus(), g.image), c.status) << c.transaction;
    for (size_t i = 0; i < CLOCK_GEN_IMAGE_SIZE; ++i) {
      uint8_t expected = i < c.filledUpTo ? config.clockGenerator[i] : 0;
      if (i == 8) {
        expected = 0x11;  // the count written before the reads
      }
      EXPECT_EQ(g.image[i], expected) << "transaction " << c.transaction << " byte " << i;
    }
    EXPECT_EQ(Only(bench.Trace(), {board::EventKind::Smbus}).size(), c.transaction + 1);
  }
}

TEST(ClockGenSetLevel, WritesOnlyAChangedLevelValue) {
  struct Case {
    uint8_t before;
    uint8_t level;
    uint8_t expected;
    bool written;
  };
  for (const Case& c :
       {Case{0xC0, 0, 0xC0, false}, Case{0xC0, 1, 0xD5, true}, Case{0xC0, 2, 0xEA, true},
        Case{0x00, 3, 0xFF, true}, Case{0xC0, 7, 0xC0, false}, Case{0xFF, 7, 0xC0, true},
        Case{0xEA, 0xFF, 0xC0, true}, Case{0xD5, 1, 0xD5, false}}) {
    Bench bench;
    uint8_t image[CLOCK_GEN_IMAGE_SIZE] = {};
    image[6] = c.before;

    EXPECT_EQ(ClockGenSetLevel(bench.Smbus(), c.level, image), EFI_SUCCESS);
    EXPECT_EQ(image[6], c.expected);
    auto writes = moduletest::WritesOf(bench.Trace(), 6);
    if (c.written) {
      ASSERT_EQ(writes.size(), 1U) << int(c.level);
      EXPECT_EQ(writes[0], std::vector<uint8_t>{c.expected});
      EXPECT_EQ(bench.board->ClockGen().Register(6), c.expected);
    } else {
      EXPECT_TRUE(Only(bench.Trace(), {board::EventKind::Smbus}).empty()) << int(c.level);
    }
  }
}

TEST(ClockGenSetLevel, ReturnsAFailedWriteAndKeepsTheNewValueInTheImage) {
  board::BoardConfig config;
  config.smbusFailures = {{0, board::kEfiDeviceError}};
  Bench bench(config);
  uint8_t image[CLOCK_GEN_IMAGE_SIZE] = {};
  image[6] = 0xC0;

  EXPECT_EQ(ClockGenSetLevel(bench.Smbus(), 2, image), board::kEfiDeviceError);
  EXPECT_EQ(image[6], 0xEA);
  EXPECT_EQ(bench.board->ClockGen().Register(6), 0xC0);
}

TEST(ClockGenWriteCode, WritesBothRegistersInOneTransactionKeepingRegister20High) {
  struct Case {
    uint16_t code;
    uint8_t reg20Before;
    uint8_t low;
    uint8_t high;
  };
  for (const Case& c : {Case{0x3E8, 0xA8, 0xE8, 0xAB}, Case{0x7FF, 0xA8, 0xFF, 0xAF},
                        Case{0x000, 0xFF, 0x00, 0xF8}, Case{0xFC01, 0x00, 0x01, 0x04}}) {
    Bench bench;
    uint8_t image[CLOCK_GEN_IMAGE_SIZE] = {};
    image[20] = c.reg20Before;

    EXPECT_EQ(ClockGenWriteCode(bench.Smbus(), c.code, image), EFI_SUCCESS);
    auto smbus = Only(bench.Trace(), {board::EventKind::Smbus});
    ASSERT_EQ(smbus.size(), 1U);
    EXPECT_TRUE(IsSmbus(smbus[0], SmbusOperation::WriteBlock, 19));
    EXPECT_EQ(smbus[0].length, 2U);
    EXPECT_EQ(smbus[0].Data(), (std::vector<uint8_t>{c.low, c.high})) << c.code;
    EXPECT_EQ(image[19], c.low);
    EXPECT_EQ(image[20], c.high);
    EXPECT_EQ(bench.board->ClockGen().Code(), c.code & 0x7FF);
  }
}

TEST(ClockGenWriteRegister, SendsTheImageByteAsAOneByteBlockAndReturnsTheStatus) {
  board::BoardConfig config;
  config.smbusFailures = {{1, 0x80000015U}};
  Bench bench(config);
  uint8_t image[CLOCK_GEN_IMAGE_SIZE] = {};
  image[3] = 0x7F;

  EXPECT_EQ(ClockGenWriteRegister(bench.Smbus(), 3, image), EFI_SUCCESS);
  EXPECT_EQ(bench.board->ClockGen().Register(3), 0x7F);
  image[3] = 0x11;
  EXPECT_EQ(ClockGenWriteRegister(bench.Smbus(), 3, image), 0x80000015U);
  EXPECT_EQ(bench.board->ClockGen().Register(3), 0x7F);
  auto writes = moduletest::WritesOf(bench.Trace(), 3);
  ASSERT_EQ(writes.size(), 2U);
  EXPECT_EQ(writes[1], std::vector<uint8_t>{0x11});
}

// An SMBus2 PPI in front of the board's that hands back a skewed Length for
// one transaction (counted from 0), as a PPI that miscounts would: the board
// itself always reports the bytes it moved.
struct SkewedSmbus {
  EFI_PEI_SMBUS2_PPI ppi{};  // first, so that This is the whole object
  const EFI_PEI_SMBUS2_PPI* inner = nullptr;
  uint64_t transaction = 0;
  int64_t skew = 0;
  uint64_t next = 0;

  SkewedSmbus(const EFI_PEI_SMBUS2_PPI* board, uint64_t at, int64_t by)
      : inner(board), transaction(at), skew(by) {
    ppi.Execute = Execute;
  }
  static EFI_STATUS EFIAPI Execute(const EFI_PEI_SMBUS2_PPI* self, EFI_SMBUS_DEVICE_ADDRESS address,
                                   EFI_SMBUS_DEVICE_COMMAND command, EFI_SMBUS_OPERATION op,
                                   BOOLEAN pec, UINTN* length, VOID* buffer) {
    auto* me = const_cast<SkewedSmbus*>(reinterpret_cast<const SkewedSmbus*>(self));
    EFI_STATUS status = me->inner->Execute(me->inner, address, command, op, pec, length, buffer);
    if (me->next++ == me->transaction) {
      *length = static_cast<UINTN>(static_cast<int64_t>(*length) + me->skew);
    }
    return status;
  }
};

// Which statuses come back: any status that is not an error is success (a
// warning is passed on), a count other than the one asked for is
// EFI_DEVICE_ERROR whether short or long, and an error is returned as it is.
TEST(ClockGenStatus, AWarningIsSuccessAndACountOtherThanAskedIsADeviceError) {
  constexpr uint32_t kWarn = 0x00000004U;
  constexpr uint32_t kTimeout = 0x80000012U;
  enum class Op { WriteRegister, WriteCode, SetLevel };
  struct Case {
    Op op;
    uint32_t injected;  // 0: none
    int64_t skew;       // added to the count Execute hands back
    uint32_t expected;
    bool written;  // the device holds the new value
  };
  const std::vector<Case> cases = {
      {Op::WriteRegister, 0, 0, EFI_SUCCESS, true},
      {Op::WriteRegister, kWarn, 0, kWarn, true},
      {Op::WriteRegister, 0x7FFFFFFFU, 0, 0x7FFFFFFFU, true},
      {Op::WriteRegister, 0, -1, board::kEfiDeviceError, true},
      {Op::WriteRegister, 0, +1, board::kEfiDeviceError, true},
      {Op::WriteRegister, kWarn, +1, board::kEfiDeviceError, true},
      {Op::WriteRegister, kTimeout, +1, kTimeout, false},
      {Op::WriteCode, kWarn, 0, kWarn, true},
      {Op::WriteCode, 0, -1, board::kEfiDeviceError, true},
      {Op::WriteCode, 0, +1, board::kEfiDeviceError, true},
      {Op::SetLevel, kWarn, 0, EFI_SUCCESS, true},
      {Op::SetLevel, 0, +1, board::kEfiDeviceError, true},
      {Op::SetLevel, kTimeout, 0, kTimeout, false},
  };
  for (const Case& c : cases) {
    board::BoardConfig config;
    if (c.injected != 0) {
      config.smbusFailures = {{0, c.injected}};
    }
    Bench bench(config);
    SkewedSmbus smbus(bench.Smbus(), 0, c.skew);
    uint8_t image[CLOCK_GEN_IMAGE_SIZE] = {};
    image[3] = 0x5A;
    image[6] = 0xC0;
    EFI_STATUS status = EFI_SUCCESS;
    uint8_t reg = 3;
    switch (c.op) {
      case Op::WriteRegister:
        status = ClockGenWriteRegister(&smbus.ppi, 3, image);
        break;
      case Op::WriteCode:
        status = ClockGenWriteCode(&smbus.ppi, 0x3E9, image);
        reg = 19;
        break;
      case Op::SetLevel:
        status = ClockGenSetLevel(&smbus.ppi, 3, image);
        reg = 6;
        break;
    }
    const std::string what = "op " + std::to_string(static_cast<int>(c.op)) + " status " +
                             std::to_string(c.injected) + " skew " + std::to_string(c.skew);
    EXPECT_EQ(status, c.expected) << what;
    EXPECT_EQ(bench.board->ClockGen().Register(reg) == image[reg], c.written) << what;
  }
}

// The image reads under the same rules: a warned read delivers its bytes and
// the image is good; a read handing back more bytes than asked is refused.
TEST(ClockGenStatus, ImageReadsTakeAWarningAsSuccessAndRefuseALongCount) {
  struct Case {
    uint64_t transaction;  // 1: the first read, 2: the second
    uint32_t injected;
    int64_t skew;
    EFI_STATUS expected;
  };
  for (const Case& c :
       {Case{1, 0x00000004U, 0, EFI_SUCCESS}, Case{2, 0x00000005U, 0, EFI_SUCCESS},
        Case{1, 0, +1, board::kEfiDeviceError}, Case{2, 0, +1, board::kEfiDeviceError},
        Case{2, 0x00000004U, -1, board::kEfiDeviceError}}) {
    board::BoardConfig config;
    config.clockGenerator = DistinctRegisters();
    if (c.injected != 0) {
      config.smbusFailures = {{c.transaction, c.injected}};
    }
    Bench bench(config);
    SkewedSmbus smbus(bench.Smbus(), c.transaction, c.skew);
    GuardedImage g;

    EXPECT_EQ(ClockGenReadImage(&smbus.ppi, g.image), c.expected) << c.transaction;
    // Every byte a read moved is the device's, warned or not.
    const size_t filled = c.transaction == 1 && c.skew != 0 ? 17 : 34;
    for (size_t i = 0; i < filled; ++i) {
      EXPECT_EQ(g.image[i], config.clockGenerator[i]) << c.transaction << " byte " << i;
    }
    EXPECT_EQ(Only(bench.Trace(), {board::EventKind::Smbus}).size(),
              c.transaction == 1 && c.skew != 0 ? 2U : 3U);
    EXPECT_TRUE(g.GuardIntact());
  }
}

}  // namespace
