#include "board/ClockGenerator.h"

#include <gtest/gtest.h>

#include "board/Status.h"
#include "board/VirtualClock.h"

namespace board {
namespace {

constexpr auto kWrite = static_cast<uint8_t>(SmbusOperation::WriteBlock);
constexpr auto kRead = static_cast<uint8_t>(SmbusOperation::ReadBlock);

// Registers holding their own index, so a read shows where it came from.
std::array<uint8_t, 256> IndexedRegisters() {
  std::array<uint8_t, 256> regs{};
  for (size_t i = 0; i < regs.size(); ++i) {
    regs[i] = static_cast<uint8_t>(i);
  }
  return regs;
}

TEST(ClockGenerator, BlockWriteStoresBytesFromCommandOnAndWrapsPast255) {
  struct Case {
    uint8_t command;
    std::vector<uint8_t> bytes;
  };
  for (const Case& c : std::vector<Case>{{8, {0x11}}, {19, {0xE9, 0x03}}, {254, {1, 2, 3}}}) {
    ClockGenerator gen(IndexedRegisters());
    SmbusResult r = gen.Execute(0x6B, c.command, kWrite, c.bytes.size(), c.bytes);
    ASSERT_EQ(r.status, kEfiSuccess);
    EXPECT_EQ(r.length, c.bytes.size());
    EXPECT_EQ(r.busBits, cost::SmbusBlockWriteBits(c.bytes.size()));
    for (size_t i = 0; i < 256; ++i) {
      size_t offset = (i + 256 - c.command) % 256;
      uint8_t expected = offset < c.bytes.size() ? c.bytes[offset] : static_cast<uint8_t>(i);
      EXPECT_EQ(gen.Register(static_cast<uint8_t>(i)), expected) << "register " << i;
    }
  }
}

TEST(ClockGenerator, BlockReadTransfersTheSmallerOfLengthAndReportedCount) {
  struct Case {
    uint8_t countRegister;
    uint64_t length;
    uint64_t transferred;
  };
  for (const Case& c :
       std::vector<Case>{{17, 17, 17}, {17, 18, 17}, {5, 17, 5}, {0, 17, 0}, {40, 18, 18}}) {
    auto regs = IndexedRegisters();
    regs[8] = c.countRegister;
    ClockGenerator gen(regs);
    SmbusResult r = gen.Execute(0x6B, 3, kRead, c.length, {});
    ASSERT_EQ(r.status, kEfiSuccess);
    EXPECT_EQ(r.length, c.transferred);
    ASSERT_EQ(r.data.size(), c.transferred);
    for (size_t i = 0; i < r.data.size(); ++i) {
      EXPECT_EQ(r.data[i], regs[3 + i]);
    }
    EXPECT_EQ(r.busBits, cost::SmbusBlockReadBits(c.transferred));
  }
}

TEST(ClockGenerator, FixedReportedCountGovernsReadsAndReadsBackInRegister8) {
  ClockGenerator gen(IndexedRegisters(), uint8_t{4});
  std::vector<uint8_t> count{17};
  ASSERT_EQ(gen.Execute(0x6B, 8, kWrite, 1, count).status, kEfiSuccess);
  EXPECT_EQ(gen.Register(8), 17);  // stored as written
  EXPECT_EQ(gen.ReadBack(8), 4);

  SmbusResult r = gen.Execute(0x6B, 6, kRead, 17, {});
  EXPECT_EQ(r.length, 4U);
  EXPECT_EQ(r.data, (std::vector<uint8_t>{6, 7, 4, 9}));
}

TEST(ClockGenerator, InjectedFailureHitsOnlyItsTransactionAndChangesNothing) {
  // Transaction 0 goes to a wrong address: it still counts.
  ClockGenerator gen(IndexedRegisters(), std::nullopt, {{2, kEfiDeviceError}, {3, 0x80000012U}});
  std::vector<uint8_t> bytes{0xAA};
  EXPECT_EQ(gen.Execute(0x50, 0, kWrite, 1, bytes).status, kEfiDeviceError);
  EXPECT_EQ(gen.Execute(0x6B, 0, kWrite, 1, bytes).status, kEfiSuccess);
  SmbusResult failedWrite = gen.Execute(0x6B, 1, kWrite, 1, bytes);
  SmbusResult failedRead = gen.Execute(0x6B, 0, kRead, 17, {});
  EXPECT_EQ(failedWrite.status, kEfiDeviceError);
  EXPECT_EQ(failedRead.status, 0x80000012U);
  EXPECT_TRUE(failedRead.data.empty());
  EXPECT_EQ(failedRead.length, 17U);  // Length untouched
  EXPECT_EQ(failedRead.busBits, cost::kSmbusFailedBits);
  EXPECT_EQ(gen.Register(0), 0xAA);
  EXPECT_EQ(gen.Register(1), 1);  // the failed write did not land
  EXPECT_EQ(gen.Execute(0x6B, 1, kWrite, 1, bytes).status, kEfiSuccess);
  EXPECT_EQ(gen.Transactions(), 5U);
}

// A warning is answered after the transaction was carried out: the write
// lands, the read delivers, the bus is as busy as on success. A transaction
// the device refuses keeps its own error.
TEST(ClockGenerator, InjectedWarningCarriesTheTransactionOutThenAnswersIt) {
  struct Case {
    uint64_t address;
    uint8_t operation;
    uint64_t length;
    uint32_t status;  // what comes back
  };
  constexpr uint32_t kWarn = 0x00000005U;
  for (const Case& c : std::vector<Case>{{0x6B, kWrite, 2, kWarn},
                                         {0x6B, kRead, 6, kWarn},
                                         {0x6B, kRead, 17, kWarn},  // count 6: a short read
                                         {0x50, kWrite, 1, kEfiDeviceError},
                                         {0x6B, kWrite, 33, kEfiInvalidParameter}}) {
    auto regs = IndexedRegisters();
    regs[8] = 6;
    ClockGenerator warned(regs, std::nullopt, {{1, kWarn}});
    ClockGenerator clean(regs);
    std::vector<uint8_t> bytes(40, 0xA5);
    for (ClockGenerator* gen : {&warned, &clean}) {
      ASSERT_EQ(gen->Execute(0x6B, 100, kWrite, 1, bytes).status, kEfiSuccess);
    }
    SmbusResult w = warned.Execute(c.address, 10, c.operation, c.length, bytes);
    SmbusResult r = clean.Execute(c.address, 10, c.operation, c.length, bytes);
    EXPECT_EQ(w.status, c.status) << c.address << " " << int(c.operation) << " " << c.length;
    EXPECT_EQ(w.length, r.length);
    EXPECT_EQ(w.data, r.data);
    EXPECT_EQ(w.busBits, r.busBits);
    EXPECT_EQ(warned.Registers(), clean.Registers());
    EXPECT_EQ(warned.Execute(0x6B, 10, kRead, 1, {}).status, kEfiSuccess);  // only #1 warned
  }
}

TEST(ClockGenerator, RefusesWhatItCannotDoWithoutChangingAnything) {
  struct Case {
    uint64_t address;
    uint64_t command;
    uint8_t operation;
    uint64_t length;
    uint32_t status;
  };
  std::vector<uint8_t> bytes(40, 0x5A);
  for (const Case& c : std::vector<Case>{
           {0x6A, 0, kWrite, 1, kEfiDeviceError},
           {0x00, 0, kRead, 1, kEfiDeviceError},
           {0x6B, 0, static_cast<uint8_t>(SmbusOperation::WriteByte), 1, kEfiUnsupported},
           {0x6B, 0, static_cast<uint8_t>(SmbusOperation::ReadByte), 1, kEfiUnsupported},
           {0x6B, 0x100, kWrite, 1, kEfiInvalidParameter},
           {0x6B, 0, kWrite, 33, kEfiInvalidParameter},
       }) {
    ClockGenerator gen(IndexedRegisters());
    SmbusResult r = gen.Execute(c.address, c.command, c.operation, c.length, bytes);
    EXPECT_EQ(r.status, c.status) << "address " << c.address << " op " << int(c.operation);
    EXPECT_EQ(gen.Registers(), IndexedRegisters());
  }
}

TEST(ClockGenerator, CodeCombinesRegister20LowBitsAndRegister19) {
  auto regs = IndexedRegisters();
  regs[19] = 0xE8;
  regs[20] = 0xFB;  // bits 7:3 are not part of the code
  EXPECT_EQ(ClockGenerator(regs).Code(), 0x3E8);
}

}  // namespace
}  // namespace board
