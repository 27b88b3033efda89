// The scenario file for fw_cfg: its layout as the scenario PEIM reads it,
// the token 5 the shim answers, and the boards QEMU cannot be made into.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "qemu/QemuRun.h"
#include "qemu/ScenarioBlob.h"
#include "qemu/peim/HelperPeim.h"

namespace {

board::BoardConfig NoSuperIo() {
  board::BoardConfig config;
  config.superIoPresent = false;
  return config;
}

TEST(QemuScenarioBlob, LayoutIsWhatTheScenarioPeimReads) {
  board::BoardConfig config = NoSuperIo();
  config.smbusPpi = board::SmbusPpiTiming::BeforeEntry;
  config.reportedByteCount = 9;
  config.acpiBase = 0x500;
  config.acpiControl = 0x80;
  config.smbusFailures = {{18, 0x80000007}};
  config.pchRcConfiguration.reset();
  std::vector<uint8_t> blob = qemu::BuildScenarioBlob(config, 0x1234);

  SCENARIO_HEADER header;
  ASSERT_GT(blob.size(), sizeof header);
  std::memcpy(&header, blob.data(), sizeof header);
  EXPECT_EQ(header.Magic, SCENARIO_MAGIC);
  EXPECT_EQ(header.Version, SCENARIO_VERSION);
  EXPECT_EQ(header.PcdToken5, 0x1234U);
  EXPECT_EQ(header.Smbus2Timing, SMBUS2_BEFORE_ENTRY);
  EXPECT_EQ(header.ReportedCount, 9);
  EXPECT_EQ(header.AcpiBase, 0x500);
  EXPECT_EQ(header.AcpiControl, 0x80);
  EXPECT_EQ(header.FailureCount, 1U);
  EXPECT_EQ(header.VariableCount, 1U);
  size_t at = sizeof header;
  EXPECT_EQ(blob[at + 19], 0xE8);  // code 1000
  at += 256;
  uint32_t failure[2];
  std::memcpy(failure, blob.data() + at, sizeof failure);
  EXPECT_EQ(failure[0], 18U);
  EXPECT_EQ(failure[1], 0x80000007U);
  at += 8;
  uint32_t nameBytes = 0;
  uint32_t dataSize = 0;
  std::memcpy(&nameBytes, blob.data() + at, 4);
  std::memcpy(&dataSize, blob.data() + at + 20, 4);
  EXPECT_EQ(nameBytes, 12U);  // "Setup" and its NUL in UTF-16
  EXPECT_EQ(dataSize, 219U);
  EXPECT_EQ(blob.size(), at + 24 + nameBytes + dataSize);
}

TEST(QemuScenarioBlob, TheShimAnswersTheWindowOnlyForTheRealBase) {
  board::BoardConfig config = NoSuperIo();
  EXPECT_EQ(qemu::ShimToken5(config), qemu::kShimPcieBase);
  config.pcdPcieBase = 0;
  EXPECT_EQ(qemu::ShimToken5(config), 0U);
  config.pcdPcieBase = 0x100000000ULL;  // low half 0: no access either
  EXPECT_EQ(qemu::ShimToken5(config), 0x100000000ULL);
  config.pcdPcieBase = 0xD0000000;
  EXPECT_THROW(qemu::ShimToken5(config), qemu::UnsupportedScenario);
}

TEST(QemuScenarioBlob, BoardsQemuCannotBeAreRefused) {
  struct Case {
    const char* what;
    void (*change)(board::BoardConfig&);
  };
  const Case cases[] = {
      {"a Super I/O chip", [](board::BoardConfig& c) { c.superIoPresent = true; }},
      {"no variable PPI", [](board::BoardConfig& c) { c.variablePpi = false; }},
      {"no PCD PPI", [](board::BoardConfig& c) { c.pcdPpi = false; }},
      {"a failing NotifyPpi", [](board::BoardConfig& c) { c.notifyPpiStatus = 0x80000009; }},
      {"a frozen timer", [](board::BoardConfig& c) { c.timerMode = board::TimerMode::Frozen; }},
      {"17 failures",
       [](board::BoardConfig& c) {
         c.smbusFailures.assign(17, board::SmbusFailure{1, 1});
       }},
  };
  for (const Case& c : cases) {
    board::BoardConfig config = NoSuperIo();
    c.change(config);
    EXPECT_THROW(qemu::BuildScenarioBlob(config, 0), qemu::UnsupportedScenario) << c.what;
  }
  EXPECT_NO_THROW(qemu::BuildScenarioBlob(NoSuperIo(), 0));
}

}  // namespace
