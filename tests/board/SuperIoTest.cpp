#include "board/SuperIo.h"

#include <gtest/gtest.h>

namespace board {
namespace {

constexpr uint16_t kIndex = SuperIo::kIndexPort;
constexpr uint16_t kData = SuperIo::kDataPort;

void Enter(SuperIo& sio) {
  sio.Write(kIndex, 0x87);
  sio.Write(kIndex, 0x87);
}

void WriteReg(SuperIo& sio, uint8_t reg, uint8_t value) {
  sio.Write(kIndex, reg);
  sio.Write(kData, value);
}

uint8_t ReadReg(SuperIo& sio, uint8_t reg) {
  sio.Write(kIndex, reg);
  return sio.Read(kData);
}

TEST(SuperIo, OutsideConfigurationModeDataIsIgnoredAndReadsFloat) {
  SuperIo sio(8, {}, {{8, {{0x30, 0x01}}}});
  sio.Write(kIndex, 0x30);
  sio.Write(kData, 0x55);
  EXPECT_EQ(sio.Read(kData), 0xFF);
  EXPECT_EQ(sio.Read(kIndex), 0xFF);
  EXPECT_EQ(sio.DeviceRegister(8, 0x30), 0x01);
}

TEST(SuperIo, EntryNeedsTwoConsecutiveKeys) {
  struct Case {
    std::vector<uint8_t> indexWrites;
    bool dataAccessBetween;
    bool inConfig;
  };
  for (const Case& c : std::vector<Case>{{{0x87, 0x87}, false, true},
                                         {{0x87}, false, false},
                                         {{0x87, 0x55, 0x87}, false, false},
                                         {{0x87, 0x87}, true, false},
                                         {{0x55, 0x87, 0x87}, false, true},
                                         {{0x87, 0x87, 0xAA}, false, false}}) {
    SuperIo sio;
    for (size_t i = 0; i < c.indexWrites.size(); ++i) {
      if (i == 1 && c.dataAccessBetween) {
        (void)sio.Read(kData);
      }
      sio.Write(kIndex, c.indexWrites[i]);
    }
    EXPECT_EQ(sio.InConfigMode(), c.inConfig) << "case of " << c.indexWrites.size() << " writes";
  }
}

TEST(SuperIo, DeviceRegistersFollowTheSelectionAndGlobalsDoNot) {
  SuperIo sio(0, {{0x20, 0xC5}}, {{0x0A, {{0xE7, 0x04}}}});
  Enter(sio);
  WriteReg(sio, 0x07, 0x08);
  WriteReg(sio, 0x30, 0x01);
  EXPECT_EQ(ReadReg(sio, 0x20), 0xC5);
  WriteReg(sio, 0x07, 0x0A);
  EXPECT_EQ(ReadReg(sio, 0x07), 0x0A);
  EXPECT_EQ(ReadReg(sio, 0x30), 0x00);  // device 0x0A's own 0x30
  EXPECT_EQ(ReadReg(sio, 0xE7), 0x04);
  EXPECT_EQ(ReadReg(sio, 0x20), 0xC5);
  EXPECT_EQ(sio.DeviceRegister(8, 0x30), 0x01);
}

TEST(SuperIo, SelectionPersistsAcrossLeaveAndEnter) {
  SuperIo sio;
  Enter(sio);
  WriteReg(sio, 0x07, 0x08);
  sio.Write(kIndex, 0xAA);
  EXPECT_FALSE(sio.InConfigMode());
  Enter(sio);
  WriteReg(sio, 0xF6, 0x01);
  EXPECT_EQ(sio.Selected(), 0x08);
  EXPECT_EQ(sio.DeviceRegister(8, 0xF6), 0x01);
}

TEST(SuperIo, GuardArmedNeedsAllThreeConditions) {
  struct Case {
    uint8_t activate;  // device 8, 0x30
    uint8_t enable;    // device 0x0A, 0xE7
    uint8_t load;      // device 8, 0xF6
    bool armed;
  };
  for (const Case& c : std::vector<Case>{{0x01, 0x08, 0x01, true},
                                         {0xFF, 0xFF, 0x80, true},
                                         {0x00, 0x08, 0x01, false},
                                         {0xFE, 0x08, 0x01, false},
                                         {0x01, 0xF7, 0x01, false},
                                         {0x01, 0x08, 0x00, false}}) {
    SuperIo sio(0, {}, {{8, {{0x30, c.activate}, {0xF6, c.load}}}, {0x0A, {{0xE7, c.enable}}}});
    EXPECT_EQ(sio.GuardArmed(), c.armed)
        << int(c.activate) << " " << int(c.enable) << " " << int(c.load);
  }
}

TEST(SuperIo, TracksConfiguredAndWrittenRegistersButNotReadOnes) {
  SuperIo sio(0, {}, {{0x0A, {{0xE7, 0x00}}}});
  Enter(sio);
  WriteReg(sio, 0x07, 0x08);
  WriteReg(sio, 0x30, 0x01);
  (void)ReadReg(sio, 0x60);
  WriteReg(sio, 0x25, 0x01);  // global: not a device register
  SuperIo::DeviceRegisters expected{{8, {{0x30, 0x01}}}, {0x0A, {{0xE7, 0x00}}}};
  EXPECT_EQ(sio.TouchedRegisters(), expected);
}

}  // namespace
}  // namespace board
