// `clockramp run --engine qemu` as the command runs it: a board that has a
// Super I/O chip only because nobody said otherwise runs without it, saying
// so; one that says it has one is refused before QEMU starts; the
// wall-clock limit ends a run as a hang. Skipped when QEMU or the firmware is
// not installed.
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "qemu/QemuRun.h"
#include "tools/ExitStatus.h"
#include "tools/QemuCommand.h"
#include "tools/RunCommand.h"

namespace {

namespace fs = std::filesystem;
using namespace clockramp::tool;

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result RunQemuCommand(const RunOptions& options) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunCommand(options, out, err);
  return {status, out.str(), err.str()};
}

TEST(QemuCommand, TheDefaultBoardRunsWithoutItsSuperIoChip) {
#ifdef CLOCKRAMP_QEMU_RUNS_ELSEWHERE
  GTEST_SKIP() << "the QEMU runs are made by the default build, not under the sanitizers";
#endif
  if (std::string missing = qemu::MissingForQemu(); !missing.empty()) {
    GTEST_SKIP() << "QEMU run skipped: " << missing;
  }
  RegisterQemuEngine(std::make_shared<QemuEngineOptions>());
  RunOptions options;
  options.engine = "qemu";
  Result run = RunQemuCommand(options);
  EXPECT_EQ(run.status, kExitSuccess) << run.out << run.err;
  EXPECT_NE(run.out.find("run without the board's Super I/O chip"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("same as the native engine"), std::string::npos) << run.out;

  // Said to be there: refused, nothing run.
  const fs::path scenario = fs::temp_directory_path() / "clockramp-qemu-superio.json";
  std::ofstream(scenario) << R"({"superIo": {"present": true}})";
  options.scenario = scenario.string();
  run = RunQemuCommand(options);
  fs::remove(scenario);
  EXPECT_EQ(run.status, kExitInvalid) << run.out << run.err;
  EXPECT_NE(run.err.find("(qemu engine): "), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");

  // A board on which the module polls a port nothing decodes never lets QEMU
  // stop by itself: the limit ends it, however fast the machine boots.
  std::ofstream(scenario) << R"({"platformController": {"acpiBase": 1536, "acpiControl": 128}})";
  options.wallClockLimitMs = 1000;
  run = RunQemuCommand(options);
  fs::remove(scenario);
  EXPECT_EQ(run.status, kExitHang) << run.out << run.err;
  EXPECT_NE(run.out.find("stopped     wall-clock limit of 1 s reached under QEMU"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("wall-clock limit of 1 s (--time-limit)"), std::string::npos) << run.err;
}

}  // namespace
