// Every scenario in scenarios/ under the real PEI core of the ovmf-ia32
// firmware in qemu-system-i386, compared with the native engine's run of
// the same board. Skipped when QEMU or the firmware is not installed.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/NativeEngine.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/QemuRun.h"
#include "tools/Scenario.h"

namespace {

namespace fs = std::filesystem;

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

class QemuScenario : public testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
#ifdef CLOCKRAMP_QEMU_RUNS_ELSEWHERE
    missing_ = "the QEMU runs are made by the default build, not under the sanitizers";
#else
    missing_ = qemu::MissingForQemu();
    if (missing_.empty()) {
      qemu::EnsureFirmware(qemu::DefaultFirmwareInputs(), qemu::DefaultFirmwarePath());
    }
#endif
  }
  static std::string missing_;
};

std::string QemuScenario::missing_;

TEST_P(QemuScenario, RealPeiCoreAgreesWithTheNativeEngine) {
  if (!missing_.empty()) {
    GTEST_SKIP() << "QEMU run skipped: " << missing_;
  }
  const std::string path = std::string(CLOCKRAMP_QEMU_SCENARIOS) + "/" + GetParam();
  clockramp::tool::Scenario scenario = clockramp::tool::LoadScenario(path);
  qemu::QemuOptions options;
  options.firmware = qemu::DefaultFirmwarePath();
  qemu::QemuRun run = qemu::RunQemu(scenario.config, options);
  for (const std::string& problem : run.problems) {
    ADD_FAILURE() << problem << " (files kept in " << run.workDir << ")";
  }
  board::RunResult native = board::RunNative(scenario.config);
  const auto& n = native.trace().Events();
  const auto& q = run.board->Events().Events();
  qemu::Comparison c = qemu::CompareRuns(n, n.back().Snapshot(), q, q.back().Snapshot());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  RecordProperty("qemu_seconds", std::to_string(run.seconds));
  RecordProperty("compared", std::to_string(c.compared));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, QemuScenario, testing::ValuesIn(ScenarioFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
