// Every scenario in scenarios/ under the real PEI core of the ovmf-ia32
// firmware in qemu-system-i386, compared with the native engine's run of
// the same board. Skipped when QEMU or the firmware is not installed.
#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "BuildPaths.h"
#include "board/NativeEngine.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/QemuRun.h"
#include "tools/Scenario.h"

namespace {

namespace fs = std::filesystem;

// Dispatched after memory (the firmware's PEIMs first, the core copies the
// images to memory) or before it (from the apriori file, in place).
enum class Dispatch { kAfterMemory, kBeforeMemory };

void PrintTo(Dispatch d, std::ostream* out) {
  *out << (d == Dispatch::kBeforeMemory ? "before memory" : "after memory");
}

std::vector<std::string> ScenarioFiles() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(CLOCKRAMP_QEMU_SCENARIOS)) {
    if (entry.path().extension() == ".json") {
      files.push_back(entry.path().filename().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What is missing to run QEMU, or empty; prepares both firmware images once.
const std::string& Missing() {
  static const std::string missing = [] {
#ifdef CLOCKRAMP_QEMU_RUNS_ELSEWHERE
    return std::string("the QEMU runs are made by the default build, not under the sanitizers");
#else
    std::string m = qemu::MissingForQemu();
    if (m.empty()) {
      for (bool before : {false, true}) {
        qemu::EnsureFirmware(qemu::DefaultFirmwareInputs(before),
                             qemu::DefaultFirmwarePath(before));
      }
    }
    return m;
#endif
  }();
  return missing;
}

class QemuScenario : public testing::TestWithParam<std::tuple<std::string, Dispatch>> {};

TEST_P(QemuScenario, RealPeiCoreAgreesWithTheNativeEngine) {
  if (!Missing().empty()) {
    GTEST_SKIP() << "QEMU run skipped: " << Missing();
  }
  const auto& [file, dispatch] = GetParam();
  const bool before = dispatch == Dispatch::kBeforeMemory;
  const std::string path = std::string(CLOCKRAMP_QEMU_SCENARIOS) + "/" + file;
  clockramp::tool::Scenario scenario = clockramp::tool::LoadScenario(path);
  qemu::QemuOptions options;
  options.firmware = qemu::DefaultFirmwarePath(before);
  qemu::QemuRun run = qemu::RunQemu(scenario.config, options);
  for (const std::string& problem : run.problems) {
    ADD_FAILURE() << problem << " (files kept in " << run.workDir << ")";
  }
  // The exit PEIM runs right after the module, on the same stack: the
  // firmware's temporary RAM before memory, permanent memory after.
  ASSERT_TRUE(run.trace.exitStack.has_value()) << "no stack line from the exit PEIM";
  const uint64_t stack = *run.trace.exitStack;
  EXPECT_EQ(
      stack >= qemu::kOvmfTempRamBase && stack < qemu::kOvmfTempRamBase + qemu::kOvmfTempRamSize,
      before)
      << "exit PEIM's stack at 0x" << std::hex << stack;
  board::RunResult native = board::RunNative(scenario.config);
  const auto& n = native.trace().Events();
  const auto& q = run.board->Events().Events();
  qemu::Comparison c = qemu::CompareRuns(n, n.back().Snapshot(), q, q.back().Snapshot());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  RecordProperty("qemu_seconds", std::to_string(run.seconds));
  RecordProperty("compared", std::to_string(c.compared));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, QemuScenario,
    testing::Combine(testing::ValuesIn(ScenarioFiles()),
                     testing::Values(Dispatch::kAfterMemory, Dispatch::kBeforeMemory)),
    [](const testing::TestParamInfo<std::tuple<std::string, Dispatch>>& info) {
      std::string name = fs::path(std::get<0>(info.param)).stem().string();
      std::replace(name.begin(), name.end(), '-', '_');
      return name + (std::get<1>(info.param) == Dispatch::kBeforeMemory ? "_before_memory" : "");
    });

// Before memory the core runs the module where it lies in the PEI volume,
// which the insert rebased it for: the first block executed in the image is
// its entry point there. A core that copied the image to memory would run
// none of it in this range; one that ran it unrelocated elsewhere would not
// reach the helpers' PPIs through its descriptors.
TEST(QemuBeforeMemory, TheModuleRunsInPlaceAtTheAddressItWasRebasedFor) {
  if (!Missing().empty()) {
    GTEST_SKIP() << "QEMU run skipped: " << Missing();
  }
  const std::string firmware = qemu::DefaultFirmwarePath(true);
  const qemu::PlacedImage module = qemu::PlacedModule(firmware);
  EXPECT_EQ(module.imageBase, module.address);
  clockramp::tool::Scenario scenario =
      clockramp::tool::LoadScenario(std::string(CLOCKRAMP_QEMU_SCENARIOS) + "/default.json");
  qemu::QemuOptions options;
  options.firmware = firmware;
  options.execRange = qemu::QemuOptions::Range{module.address, module.size};
  qemu::QemuRun run = qemu::RunQemu(scenario.config, options);
  for (const std::string& problem : run.problems) {
    ADD_FAILURE() << problem << " (files kept in " << run.workDir << ")";
  }
  ASSERT_FALSE(run.executed.empty()) << "no instruction ran in the module's image";
  EXPECT_EQ(run.executed.front(), module.address + module.entry);
  EXPECT_TRUE(run.trace.ended);
}

}  // namespace
