// The Super I/O guard: exact port traffic of the arm and disarm sequences and
// the chip state they leave.
#include <gtest/gtest.h>

#include "board/Trace.h"
#include "sio/Sio.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using moduletest::Bench;
using moduletest::Only;
using moduletest::Traffic;

board::BoardConfig WithGuardRegisters(uint8_t r30, uint8_t rE7, uint8_t rF6) {
  board::BoardConfig config;
  config.superIoSelected = 3;
  config.superIoDevices[8][0x30] = r30;
  config.superIoDevices[8][0xF6] = rF6;
  config.superIoDevices[0x0A][0xE7] = rE7;
  return config;
}

void ExpectTraffic(const Bench& bench, const Traffic& expected) {
  auto io = Only(bench.Trace(), {board::EventKind::Io});
  auto diff = board::FirstDifference(io, expected.events, {.ignoreCpu = true, .ignoreTime = true});
  EXPECT_FALSE(diff.has_value()) << *diff;
}

TEST(SioGuard, ArmIsTheEightAccessSequenceKeepingOtherBits) {
  struct Case {
    uint8_t r30, rE7, rF6;
  };
  // Disarmed with other bits set, and already armed (arming again reloads 0xF6).
  for (const Case& c : {Case{0x40, 0x21, 0x00}, Case{0xFE, 0xF7, 0x00}, Case{0x01, 0x08, 0x01}}) {
    Bench bench(WithGuardRegisters(c.r30, c.rE7, c.rF6));
    EXPECT_EQ(SioGuardArm(), EFI_SUCCESS);

    Traffic t;
    t.SioWrite(0x07, 0x08);
    t.SioRead(0x30, c.r30);
    t.SioWrite(0x30, static_cast<uint8_t>(c.r30 | 0x01));
    t.SioWrite(0x07, 0x0A);
    t.SioRead(0xE7, c.rE7);
    t.SioWrite(0xE7, static_cast<uint8_t>(c.rE7 | 0x08));
    t.SioWrite(0x07, 0x08);
    t.SioWrite(0xF6, 0x01);
    ExpectTraffic(bench, t);

    const board::SuperIo& sio = bench.board->Sio();
    EXPECT_TRUE(sio.GuardArmed());
    EXPECT_EQ(sio.Selected(), 8);
    EXPECT_FALSE(sio.InConfigMode());
    EXPECT_EQ(sio.DeviceRegister(8, 0x30), c.r30 | 0x01);
    EXPECT_EQ(sio.DeviceRegister(0x0A, 0xE7), c.rE7 | 0x08);
  }
}

TEST(SioGuard, DisarmUndoesTheArmInReverseOrder) {
  struct Case {
    uint8_t r30, rE7, rF6;
  };
  for (const Case& c : {Case{0x41, 0x29, 0x01}, Case{0xFF, 0xFF, 0x01}, Case{0x00, 0x00, 0x00}}) {
    Bench bench(WithGuardRegisters(c.r30, c.rE7, c.rF6));
    EXPECT_EQ(SioGuardDisarm(), EFI_SUCCESS);

    Traffic t;
    t.SioWrite(0x07, 0x08);
    t.SioWrite(0xF6, 0x00);
    t.SioWrite(0x07, 0x0A);
    t.SioRead(0xE7, c.rE7);
    t.SioWrite(0xE7, static_cast<uint8_t>(c.rE7 & 0xF7));
    t.SioWrite(0x07, 0x08);
    t.SioRead(0x30, c.r30);
    t.SioWrite(0x30, static_cast<uint8_t>(c.r30 & 0xFE));
    ExpectTraffic(bench, t);

    const board::SuperIo& sio = bench.board->Sio();
    EXPECT_FALSE(sio.GuardArmed());
    EXPECT_EQ(sio.Selected(), 8);
    EXPECT_EQ(sio.DeviceRegister(8, 0xF6), 0);
    EXPECT_EQ(sio.DeviceRegister(8, 0x30), c.r30 & 0xFE);
    EXPECT_EQ(sio.DeviceRegister(0x0A, 0xE7), c.rE7 & 0xF7);
  }
}

TEST(SioRegisterAccess, ReadAndSelectAreEachWrappedInEnterAndLeave) {
  Bench bench(WithGuardRegisters(0x5A, 0, 0));
  SioSelectLogicalDevice(8);
  EXPECT_EQ(SioReadRegister(0x30), 0x5A);

  Traffic t;
  t.SioWrite(0x07, 0x08);
  t.SioRead(0x30, 0x5A);
  ExpectTraffic(bench, t);
}

}  // namespace
