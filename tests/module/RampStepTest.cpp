// One guarded frequency step: its exact traffic, and where each failing
// write leaves the POST codes, the guard and the device.
#include <gtest/gtest.h>

#include "board/Status.h"
#include "board/Trace.h"
#include "ramp/ClockRamp.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using moduletest::Bench;
using moduletest::Only;

// A step's image: register 3 with bit 7 and others set, register 9 with bit
// 1, register 20 with high bits that must survive.
struct StepImage {
  uint8_t bytes[35] = {};
  StepImage() {
    bytes[3] = 0x85;
    bytes[9] = 0x82;
    bytes[20] = 0xA8;
  }
};

TEST(ClockRampStep, ASuccessfulStepMakesExactlyThisTraffic) {
  Bench bench;
  StepImage image;
  EXPECT_EQ(ClockRampStep(1001, image.bytes, bench.Smbus()), EFI_SUCCESS);

  moduletest::Traffic t;
  t.Post(0xC4);
  t.SmbusWrite(3, {0x05});
  t.SioWrite(0x07, 0x08);  // arm
  t.SioRead(0x30, 0x00);
  t.SioWrite(0x30, 0x01);
  t.SioWrite(0x07, 0x0A);
  t.SioRead(0xE7, 0x00);
  t.SioWrite(0xE7, 0x08);
  t.SioWrite(0x07, 0x08);
  t.SioWrite(0xF6, 0x01);
  t.SmbusWrite(9, {0xFA});
  t.Post(0xC8);
  t.SmbusWrite(19, {0xE9, 0xAB});
  t.Post(0xCC);
  t.SmbusWrite(9, {0x82});
  t.SioWrite(0x07, 0x08);  // disarm
  t.SioWrite(0xF6, 0x00);
  t.SioWrite(0x07, 0x0A);
  t.SioRead(0xE7, 0x08);
  t.SioWrite(0xE7, 0x00);
  t.SioWrite(0x07, 0x08);
  t.SioRead(0x30, 0x01);
  t.SioWrite(0x30, 0x00);
  t.SmbusWrite(3, {0x85});

  auto actual = Only(bench.Trace(), {board::EventKind::Io, board::EventKind::Smbus});
  auto diff = board::FirstDifference(actual, t.events, {.ignoreCpu = true, .ignoreTime = true});
  EXPECT_FALSE(diff.has_value()) << *diff;
  EXPECT_EQ(bench.board->ClockGen().Code(), 1001);
  EXPECT_FALSE(bench.board->Sio().GuardArmed());
}

TEST(ClockRampStep, AFailedWriteEndsTheStepWhereItStands) {
  struct Case {
    uint64_t transaction;  // 0 reg 3, 1 reg 9, 2 code, 3 reg 9, 4 reg 3
    std::vector<uint8_t> post;
    bool guardArmed;
    uint8_t reg3;
    uint8_t reg9;
    uint16_t code;
  };
  const std::vector<Case> cases = {
      {0, {0xC4}, false, 0x00, 0x00, 1000},
      {1, {0xC4}, true, 0x05, 0x00, 1000},
      {2, {0xC4, 0xC8}, true, 0x05, 0xFA, 1000},
      {3, {0xC4, 0xC8, 0xCC}, true, 0x05, 0xFA, 1001},
      {4, {0xC4, 0xC8, 0xCC}, false, 0x05, 0x82, 1001},
  };
  for (const Case& c : cases) {
    board::BoardConfig config;
    config.clockGenerator[3] = 0x00;
    config.clockGenerator[9] = 0x00;
    config.smbusFailures = {{c.transaction, board::kEfiDeviceError}};
    Bench bench(config);
    StepImage image;

    EXPECT_EQ(ClockRampStep(1001, image.bytes, bench.Smbus()), board::kEfiDeviceError)
        << c.transaction;
    const board::Board& b = *bench.board;
    EXPECT_EQ(b.Post().Codes(), c.post) << c.transaction;
    EXPECT_EQ(b.Sio().GuardArmed(), c.guardArmed) << c.transaction;
    EXPECT_EQ(b.ClockGen().Register(3), c.reg3) << c.transaction;
    EXPECT_EQ(b.ClockGen().Register(9), c.reg9) << c.transaction;
    EXPECT_EQ(b.ClockGen().Code(), c.code) << c.transaction;
    EXPECT_EQ(Only(bench.Trace(), {board::EventKind::Smbus}).size(), c.transaction + 1);
  }
}

TEST(ClockRampStep, TheHighestCodeSetsAllThreeHighBits) {
  Bench bench;
  StepImage image;
  EXPECT_EQ(ClockRampStep(0x7FF, image.bytes, bench.Smbus()), EFI_SUCCESS);
  EXPECT_EQ(bench.board->ClockGen().Register(19), 0xFF);
  EXPECT_EQ(bench.board->ClockGen().Register(20), 0xAF);
  EXPECT_EQ(bench.board->ClockGen().Code(), 0x7FF);
}

}  // namespace
