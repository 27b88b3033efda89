// The reader of QEMU's trace: the helpers' log lines assembled from port
// writes, the window between "begin" and "end", accesses mapped to board
// events, the PCD base translated back to the scenario's.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qemu/QemuRun.h"
#include "qemu/TraceReader.h"

namespace {

using board::Event;

std::string Access(bool write, uint64_t addr, uint64_t value, unsigned size,
                   const std::string& name) {
  char line[200];
  std::snprintf(line, sizeof line,
                "memory_region_ops_%s cpu 0 mr 0x5612 addr 0x%llx value 0x%llx size %u name '%s'\n",
                write ? "write" : "read", static_cast<unsigned long long>(addr),
                static_cast<unsigned long long>(value), size, name.c_str());
  return line;
}

// The trace lines QEMU writes for the helpers' log text: one port write a byte.
std::string LogLines(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += Access(true, qemu::kHelperLogPort, static_cast<unsigned char>(c), 1, "io");
  }
  return out;
}

qemu::QemuTrace Read(const std::string& text) {
  std::istringstream in(text);
  qemu::ReaderOptions options;
  options.shimToken5 = qemu::kShimPcieBase;
  options.scenarioToken5 = 0xE0000000;
  return qemu::ReadQemuTrace(in, options);
}

TEST(QemuTraceReader, OnlyTheWindowBetweenBeginAndEndIsTheModules) {
  std::string text = Access(true, 0x80, 0x11, 1, "ioport80") + LogLines("crq begin\n") +
                     Access(true, 0x80, 0xC4, 1, "ioport80") + LogLines("crq end\n") +
                     Access(true, 0x80, 0x22, 1, "ioport80");
  qemu::QemuTrace t = Read(text);
  EXPECT_TRUE(t.begun);
  EXPECT_TRUE(t.ended);
  ASSERT_EQ(t.events.size(), 1U);
  EXPECT_EQ(t.events[0], Event::Io(0, board::IoOp::Out, 0x80, 8, 0xC4));
  EXPECT_EQ(t.log, (std::vector<std::string>{"begin", "end"}));
}

TEST(QemuTraceReader, AccessesBecomeBoardEvents) {
  struct Case {
    std::string line;
    Event expected;
  };
  const std::vector<Case> cases = {
      {Access(true, 0x2E, 0x87, 1, "io"), Event::Io(0, board::IoOp::Out, 0x2E, 8, 0x87)},
      // An unassigned port reads all ones, which QEMU prints 64 bits wide.
      {Access(false, 0x2F, 0xFFFFFFFFFFFFFFFF, 1, "io"),
       Event::Io(0, board::IoOp::In, 0x2F, 8, 0xFF)},
      {Access(false, 0x508, 0x123456, 4, "acpi-tmr"),
       Event::Io(0, board::IoOp::In, 0x508, 32, 0x123456)},
      // ECAM at the shim's base + 0xFA044 reads as the scenario's base + 0xFA044.
      {Access(false, 0xB00F8044, 0, 1, "pcie-mmcfg-mmio"),
       Event::Mmio(0, board::MmioOp::Read, 0xE00FA044, 8, 0)},
      {Access(true, 0xB00F8040, 0x500, 2, "pcie-mmcfg-mmio"),
       Event::Mmio(0, board::MmioOp::Write, 0xE00FA040, 16, 0x500)},
      {LogLines("crq pcd 5 afffe000\n"), Event::Pcd(0, 5, 0xE0000000)},
      {LogLines("crq pcd 5 0\n"), Event::Pcd(0, 5, 0)},
      {LogLines("crq smbus 9 6b 13 2 80000007 2 e903\n"),
       Event::Smbus(0, board::SmbusOperation::WriteBlock, 0x6B, 19, 2, {0xE9, 0x03}, 0x80000007)},
      {LogLines("crq smbus 8 6b 0 11 0 11 00250080000000c000110000000000000000\n"),
       Event::Smbus(0, board::SmbusOperation::ReadBlock, 0x6B, 0, 17,
                    {0x00, 0x25, 0x00, 0x80, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x11, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00},
                    0)},
      {LogLines("crq var 8000000e 562 562 a3269ad1f117c3488a1e11eb0a7f6e4e 50006300\n"),
       Event::GetVariable(0, "Pc", board::guids::kPchRcConfigurationVariable, 0x562, 0x8000000E,
                          0x562)},
  };
  for (const Case& c : cases) {
    qemu::QemuTrace t = Read(LogLines("crq begin\n") + c.line + LogLines("crq end\n"));
    ASSERT_EQ(t.events.size(), 1U) << c.line;
    EXPECT_EQ(t.events[0], c.expected) << c.line;
    EXPECT_TRUE(t.unexpected.empty()) << c.line << t.unexpected.front();
  }
}

// The firmware's debug log, on QEMU's debug console: neither helper lines
// nor the module's accesses.
std::string FirmwareLog(const std::string& text) {
  std::string out = Access(false, 0x402, 0xE9, 1, "isa-debugcon");
  for (char c : text) {
    out += Access(true, 0x402, static_cast<unsigned char>(c), 1, "isa-debugcon");
  }
  return out;
}

TEST(QemuTraceReader, TheHelpersOwnAccessesAreLeftOutAndStrangersReported) {
  std::string text = LogLines("crq begin\n") + FirmwareLog("crq end\nLoading PEIM\n") +
                     Access(false, 0x511, 0x41, 1, "fwcfg") +
                     Access(true, 0xCF8, 0x8000F840, 4, "pci-conf-idx") +
                     LogLines("crq smbus 9 6b\n") + LogLines("crq end\n");
  qemu::QemuTrace t = Read(text);
  EXPECT_TRUE(t.events.empty());
  ASSERT_EQ(t.unexpected.size(), 2U);
  EXPECT_NE(t.unexpected[0].find("pci-conf-idx"), std::string::npos);
  EXPECT_NE(t.unexpected[1].find("malformed"), std::string::npos);
}

TEST(QemuTraceReader, TheStateLineGivesRegistersAndAcpi) {
  std::string regs(512, '0');
  regs.replace(size_t{19} * 2, 4, "0004");  // register 19 = 0x00, 20 = 0x04
  regs.replace(0, 2, "20");
  qemu::QemuTrace t = Read(LogLines("crq end\ncrq state " + regs + " 501 80\n"));
  ASSERT_TRUE(t.state.has_value());
  EXPECT_EQ(t.state->clockGenerator[0], 0x20);
  EXPECT_EQ(t.state->clockGenerator[20], 0x04);
  EXPECT_EQ(t.state->acpiBase, 0x500);  // bit 0 of PMBASE reads 1 on the LPC bridge
  EXPECT_EQ(t.state->acpiControl, 0x80);
}

// The exit PEIM's stack pointer tells before memory from after it; a stack
// line without a number is reported.
TEST(QemuTraceReader, TheStackLineGivesTheExitPeimsStack) {
  qemu::QemuTrace t = Read(LogLines("crq stack 81f6a0\ncrq begin\ncrq end\n"));
  EXPECT_EQ(t.exitStack, std::optional<uint64_t>(0x81f6a0));
  EXPECT_TRUE(t.unexpected.empty());
  qemu::QemuTrace bad = Read(LogLines("crq stack\n"));
  EXPECT_FALSE(bad.exitStack.has_value());
  EXPECT_EQ(bad.unexpected.size(), 1U);
}

// The -d exec lines (one per executed block, with -dfilter on the module's
// range) give the blocks in the order they first ran, each once; trace
// event lines in the same log and malformed lines are skipped.
TEST(QemuTraceReader, ExecutedBlocksInFirstRunOrder) {
  std::istringstream in(
      "Trace 0: 0x7f97680a9e80 [00000000/00848eec/004002b0/ff000200] \n"
      "memory_region_ops_write cpu 0 mr 0x1 addr 0x80 value 0xc4 size 1 name 'ioport80'\n"
      "Trace 0: 0x7f97680aa080 [00000000/00848a18/004002b0/ff000200] \n"
      "Trace 0: 0x7f97680a9e80 [00000000/00848eec/004002b0/ff000200] \n"
      "Trace 0: 0x7f97680aa600 [00000000/00848zz1/004002b0/ff000200] \n"
      "Trace 0: 0x7f97680aa600 [00000000] \n"
      "Trace 0: 0x7f97680aa600 [00000000/00848a3c/004002b0/ff000200] ClockRampNotify\n");
  EXPECT_EQ(qemu::ReadExecutedBlocks(in), (std::vector<uint64_t>{0x848eec, 0x848a18, 0x848a3c}));
}

}  // namespace
