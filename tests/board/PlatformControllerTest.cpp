#include "board/PlatformController.h"

#include <gtest/gtest.h>

namespace board {
namespace {

constexpr uint64_t kBase = 0xE0000000;
constexpr uint64_t kFunction = kBase + 0xFA000;

TEST(PlatformController, ReadsByAddressAndWidth) {
  struct Case {
    uint64_t address;
    unsigned width;
    uint32_t value;
  };
  PlatformController pch(kBase, 0x1234, 0x5A);
  for (const Case& c : std::vector<Case>{
           {kFunction + 0x40, 16, 0x1234},
           {kFunction + 0x40, 8, 0x34},
           {kFunction + 0x41, 8, 0x12},
           {kFunction + 0x44, 8, 0x5A},
           {kFunction + 0x44, 16, 0x005A},
           {kFunction + 0x40, 32, 0x00001234},
           {kFunction + 0x00, 16, 0x0000},  // other register of the function
           {kFunction + 0xFFF, 8, 0x00},
           {kBase + 0xF8000 + 0x44, 8, 0xFF},               // device 31 function 0: absent
           {kBase + 0xFB000 + 0x40, 16, 0xFFFF},            // function 3: absent
           {kBase + 0x0FFFFFFF, 8, 0xFF},                   // last byte of the window
           {kBase - 1, 8, 0xFF},                            // below the window
           {kBase + 0x10000000 + 0xFA044, 32, 0xFFFFFFFF},  // above it
       }) {
    EXPECT_EQ(pch.Read(c.address, c.width), c.value)
        << std::hex << c.address << " width " << std::dec << c.width;
  }
}

TEST(PlatformController, WritesReachOnlyTheAcpiRegisters) {
  PlatformController pch(kBase);
  pch.Write(kFunction + 0x40, 16, 0x0500);
  EXPECT_EQ(pch.AcpiBase(), 0x0500);
  pch.Write(kFunction + 0x41, 8, 0x18);
  EXPECT_EQ(pch.AcpiBase(), 0x1800);
  EXPECT_FALSE(pch.AcpiDecoding());
  pch.Write(kFunction + 0x44, 8, 0x80);
  EXPECT_TRUE(pch.AcpiDecoding());

  pch.Write(kFunction + 0x48, 8, 0x77);
  pch.Write(kBase + 0xF8000 + 0x44, 8, 0x00);
  pch.Write(kBase - 0x1000 + 0xFA044, 8, 0x00);
  EXPECT_EQ(pch.Read(kFunction + 0x48, 8), 0x00);
  EXPECT_EQ(pch.AcpiControl(), 0x80);
  EXPECT_EQ(pch.AcpiBase(), 0x1800);
}

TEST(PlatformController, FollowsTheConfiguredWindowBase) {
  PlatformController pch(0xF0000000, 0x0500, 0x80);
  EXPECT_EQ(pch.Read(kFunction + 0x40, 16), 0xFFFF);
  EXPECT_EQ(pch.Read(0xF00FA040, 16), 0x0500);
}

}  // namespace
}  // namespace board
