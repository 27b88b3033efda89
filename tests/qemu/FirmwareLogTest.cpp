// The PEI core's debug log read for the module: loaded, its notification
// registered and dispatched into its image, no ASSERT; each fault reported.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qemu/FirmwareLog.h"

namespace {

constexpr const char* kModule = "0444A79F-3154-4B14-9D8E-73CFD19CDF05";

// What a DEBUG build of OVMF's PEI core prints around the module.
const std::string kLog =
    "Loading PEIM 5E2B8C31-7D4A-4F6E-9B1C-2A3D4E5F6071\n"
    "Loading PEIM at 0x00007EAB000 EntryPoint=0x00007EAB240\n"
    "Loading PEIM 0444a79f-3154-4b14-9d8e-73cfd19cdf05\n"
    "Loading PEIM at 0x00007EA9000 EntryPoint=0x00007EA9808 ClockRamp.efi\n"
    "Register PPI Notify: 9ca93627-b65b-4324-a202-c0b461764543\n"
    "Notify: PPI Guid: 9ca93627-b65b-4324-a202-c0b461764543, Peim notify entry point: 7EA93B2\n";

std::vector<std::string> Problems(const std::string& log) {
  return qemu::FirmwareLogProblems(qemu::ReadFirmwareLog(log, kModule), 0xA40);
}

TEST(QemuFirmwareLog, TheCoreLoadedRegisteredAndDispatchedTheModule) {
  const qemu::FirmwareLogFacts facts = qemu::ReadFirmwareLog(kLog, kModule);
  EXPECT_EQ(facts.loadedAt, 0x7EA9000U);
  EXPECT_TRUE(facts.notifyRegistered);
  EXPECT_EQ(facts.dispatched, 0x7EA93B2U);
  EXPECT_TRUE(Problems(kLog).empty());
}

TEST(QemuFirmwareLog, EachMissingOrWrongLineIsAProblem) {
  struct Case {
    std::string from;
    std::string to;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"Loading PEIM 0444a79f", "Loading PEIM 0444a79e", "no load of the module's file"},
      {"Register PPI Notify: 9ca93627", "Register PPI Notify: 9ca93628",
       "no notification registered"},
      {"Notify: PPI Guid: 9ca93627", "Notify: PPI Guid: 9ca93628", "no notification dispatched"},
      {"entry point: 7EA93B2", "entry point: 7EABA40", "outside the module's image"},
      {"ClockRamp.efi\n", "ClockRamp.efi\nASSERT [PeiMain] Foo.c(1): 0\n", "asserted"},
  };
  for (const Case& c : cases) {
    std::string log = kLog;
    log.replace(log.find(c.from), c.from.size(), c.to);
    const std::vector<std::string> problems = Problems(log);
    ASSERT_EQ(problems.size(), 1U) << c.to;
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
  }
}

}  // namespace
