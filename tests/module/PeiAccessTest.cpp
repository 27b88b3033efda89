// Finding the PEI services, the PCD lookup behind every configuration
// access, and configuration access without a PCD PPI.
#include <gtest/gtest.h>

#include "board/Guid.h"
#include "pei/PeiAccess.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using board::EventKind;
using moduletest::Bench;
using moduletest::Only;

constexpr uint32_t kControlAddress = 0xE0000000U + 0xFA044U;

TEST(FindPeiServices, ReturnsThePointerBelowTheIdtBase) {
  Bench bench;
  EXPECT_EQ(FindPeiServices(), bench.Services());
  auto cpu = Only(bench.Trace(), {EventKind::Cpu});
  ASSERT_EQ(cpu.size(), 1U);
  EXPECT_EQ(cpu[0].op, static_cast<uint8_t>(board::CpuOp::Sidt));
}

TEST(PciConfigAccess, EachAccessLooksUpTheBaseAnew) {
  Bench bench;
  EXPECT_EQ(PciCfgRead8(0, 31, 2, 0x44), 0x00);
  PciCfgWrite8(0, 31, 2, 0x44, 0x80);
  EXPECT_EQ(PciCfgRead8(0, 31, 2, 0x44), 0x80);

  // Each access: SIDT, LocatePpi(PCD), Get64(5), then the access itself.
  std::vector<board::Event> events =
      Only(bench.Trace(), {EventKind::Cpu, EventKind::Pei, EventKind::Pcd, EventKind::Mmio});
  ASSERT_EQ(events.size(), 12U);
  for (size_t access = 0; access < 3; ++access) {
    const board::Event* e = &events[access * 4];
    EXPECT_EQ(e[0].kind, EventKind::Cpu);
    EXPECT_EQ(e[1].kind, EventKind::Pei);
    EXPECT_EQ(e[1].PeiGuid(), board::guids::kPcdPpi);
    EXPECT_EQ(e[1].address, 0U);  // instance
    EXPECT_EQ(e[2].kind, EventKind::Pcd);
    EXPECT_EQ(e[2].address, 5U);  // token
    EXPECT_EQ(e[3].kind, EventKind::Mmio);
    EXPECT_EQ(e[3].address, kControlAddress);
    EXPECT_EQ(e[3].width, 8);
  }
}

TEST(PciConfigAccess, UsesOnlyTheLow32BitsOfThePcdValue) {
  board::BoardConfig config;
  config.pcdPcieBase = 0x12345678E0000000ULL;
  Bench bench(config);
  EXPECT_EQ(GetPcieConfigBase(), 0xE0000000U);
  PciCfgWrite16(0, 31, 2, 0x40, 0x0500);

  auto mmio = Only(bench.Trace(), {EventKind::Mmio});
  ASSERT_EQ(mmio.size(), 1U);
  EXPECT_EQ(mmio[0].address, 0xE00FA040U);
  EXPECT_EQ(mmio[0].width, 16);
  EXPECT_EQ(bench.board->Pch().AcpiBase(), 0x0500);
}

TEST(PciConfigAccess, WithoutAPcdPpiNothingIsAccessed) {
  board::BoardConfig config;
  config.pcdPpi = false;
  Bench bench(config);

  EXPECT_EQ(GetPcieConfigBase(), 0U);
  EXPECT_EQ(PciCfgRead8(0, 31, 2, 0x44), 0xFF);
  PciCfgWrite8(0, 31, 2, 0x44, 0x80);
  PciCfgWrite16(0, 31, 2, 0x40, 0x0500);

  EXPECT_TRUE(Only(bench.Trace(), {EventKind::Mmio, EventKind::Pcd}).empty());
  auto pei = Only(bench.Trace(), {EventKind::Pei});
  ASSERT_EQ(pei.size(), 4U);
  for (const board::Event& e : pei) {
    EXPECT_EQ(e.status, 0x8000000EU);  // EFI_NOT_FOUND
  }
  EXPECT_EQ(bench.board->Pch().AcpiControl(), 0);
}

}  // namespace
