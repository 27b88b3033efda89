// The report on the default board and the worst case, checked against the
// files it describes and against what docs/module.md says a run must do:
// per step 5 SMBus block writes (register 3, register 9, the two-byte code,
// register 9, register 3), 3 POST writes and two guard sequences of 8
// Super I/O register accesses of 5 port accesses each; register 6 written
// when the automatic level changes; and the board's costs per access.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "BuildPaths.h"
#include "board/VirtualClock.h"
#include "tools/report/Report.h"
#include "tools/report/ReportCommand.h"

namespace {

using clockramp::report::Report;
using clockramp::report::RunFigures;
namespace report = clockramp::report;

constexpr uint32_t kSmbusWritesPerStep = 5;
constexpr uint32_t kPostPerStep = 3;
// Arm and disarm: 6 register writes and 2 reads each; every register access
// is enter (2 index writes), register select, the data access, leave.
constexpr uint32_t kSioWritesPerStep = 12;
constexpr uint32_t kSioReadsPerStep = 4;
constexpr uint32_t kSioPortsPerAccess = 5;
// Before the ramp: register 8 := 0x11, register 0 bit 5 set, register 1
// mode bits (default board); after it: register 8 := 1.
constexpr uint32_t kSmbusWritesAround = 4;
constexpr uint32_t kImageReadBytes = 17;  // each of the two block reads, default board

// Register 6 value of the automatic level for a code (docs/module.md).
uint8_t AutoLevelValue(int code) {
  int distance = std::abs(code - 1000);
  int level = distance <= 3 ? 0 : distance <= 11 ? 1 : distance <= 19 ? 2 : 3;
  return static_cast<uint8_t>(0xC0 | (level * 0x15));
}

// Register 6 writes of an automatic ramp: one per change of value.
uint32_t LevelWrites(int from, int to, uint8_t reg6) {
  uint32_t writes = 0;
  for (int code = from; code != to;) {
    code += to > from ? 1 : -1;
    uint8_t value = AutoLevelValue(code);
    if (value != reg6) {
      ++writes;
      reg6 = value;
    }
  }
  return writes;
}

// The default board's report, made once for the suite (without the worst
// case, which WorstCaseTest measures once on its own).
class ReportTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    report::ReportOptions options;
    options.worstCase = false;
    report_ = new Report(report::BuildReport("default board", board::BoardConfig{}, options));
  }
  static void TearDownTestSuite() {
    delete report_;
    report_ = nullptr;
  }
  static const Report& Get() { return *report_; }

 private:
  static Report* report_;
};

Report* ReportTest::report_ = nullptr;

// What every completed automatic ramp from `from` to `to` must show.
void ExpectRamp(const RunFigures& r, int from, int to, uint8_t delayUs) {
  SCOPED_TRACE(r.name);
  const uint32_t steps = static_cast<uint32_t>(std::abs(to - from));
  EXPECT_EQ(r.notifyStatus, std::optional<uint32_t>(0));
  EXPECT_FALSE(r.difference.has_value()) << *r.difference;
  EXPECT_EQ(r.codeFrom, from);
  EXPECT_EQ(r.codeTo, to);

  // Steps and what each interval between two step starts made.
  const report::StepFigures& s = r.steps;
  EXPECT_EQ(s.steps, steps);
  EXPECT_EQ(s.instructions.count, steps - 1);
  EXPECT_EQ(s.time.count, steps - 1);
  EXPECT_EQ(s.smbus.min, kSmbusWritesPerStep);
  EXPECT_LE(s.smbus.max, kSmbusWritesPerStep + 1);  // and, now and then, a level write
  EXPECT_EQ(s.post.min, kPostPerStep);
  EXPECT_EQ(s.post.max, kPostPerStep);
  EXPECT_EQ(s.superIo.min, (kSioWritesPerStep + kSioReadsPerStep) * kSioPortsPerAccess);
  EXPECT_EQ(s.superIo.max, s.superIo.min);
  // Two waits an interval (level settle, step settle), each at least a
  // reading per microsecond of delay.
  EXPECT_GE(s.timerReads.min, 2u * delayUs);
  EXPECT_LE(s.instructions.min, s.instructions.median);
  EXPECT_LE(s.instructions.median, s.instructions.max);

  // Whole-run access counts.
  const report::AccessCounts& a = r.accesses;
  const uint32_t levelWrites = LevelWrites(from, to, 0xC0);
  EXPECT_EQ(a.smbus.at("writeBlock"),
            kSmbusWritesAround + levelWrites + kSmbusWritesPerStep * steps);
  EXPECT_EQ(a.smbus.at("readBlock"), 2u);
  EXPECT_EQ(a.smbusFailed, 0u);
  EXPECT_EQ(a.io.at(report::kPostPort).out, kPostPerStep * steps);
  EXPECT_EQ(a.io.at(report::kSioIndexPort).out,
            (kSioWritesPerStep + kSioReadsPerStep) * (kSioPortsPerAccess - 1) * steps);
  EXPECT_EQ(a.io.at(report::kSioDataPort).out, kSioWritesPerStep * steps);
  EXPECT_EQ(a.io.at(report::kSioDataPort).in, kSioReadsPerStep * steps);
  // Decoding off at reset: read 0x44, write the base, read 0x44, write it.
  EXPECT_EQ(a.mmioReads, 2u);
  EXPECT_EQ(a.mmioWrites, 2u);
  EXPECT_EQ(a.pei.at("GetVariable"), 2u);
  EXPECT_EQ(a.pei.at("NotifyPpi"), 1u);
  // A wait reads the timer once for its start and once more than it pauses.
  const uint32_t waits = 2 * steps;
  EXPECT_EQ(a.io.at(report::kTimerPort).in, a.pauses + 2 * waits);
  // The IA-32 engine counts the PAUSEs it executed; the native trace has them as lines.
  EXPECT_EQ(r.pauses, a.pauses);

  // Time: the parts add up, and each matches the board's cost of its accesses.
  const report::TimeSplit& t = r.time;
  EXPECT_EQ(t.smbus + t.delays + t.Other(), t.total);
  const uint64_t writes = a.smbus.at("writeBlock");
  const uint64_t smbusBits = 2 * board::cost::SmbusBlockReadBits(kImageReadBytes) +
                             (writes - steps) * board::cost::SmbusBlockWriteBits(1) +
                             steps * board::cost::SmbusBlockWriteBits(2);
  EXPECT_EQ(t.smbus, smbusBits * board::cost::kSmbusBitNs);
  EXPECT_EQ(t.delays, a.io.at(report::kTimerPort).in * board::cost::kIoAccessNs);
  EXPECT_EQ(t.superIo, (a.io.at(report::kSioIndexPort).out + a.io.at(report::kSioDataPort).out +
                        a.io.at(report::kSioDataPort).in) *
                           board::cost::kIoAccessNs);
  EXPECT_EQ(t.post, uint64_t{kPostPerStep} * steps * board::cost::kIoAccessNs);
  EXPECT_EQ(t.mmio, 4 * board::cost::kMmioAccessNs);

  // Instructions and stack.
  EXPECT_EQ(r.entryInstructions + r.callbackInstructions, r.instructions);
  EXPECT_EQ(r.stackHighWater, std::max(r.entryStack, r.callbackStack));
  // The callback keeps the register image (35), "Setup" (219) and
  // "PchRcConfiguration" (1378) on its stack, below the Foundation's 16 bytes.
  EXPECT_GE(r.callbackStack, 35u + 219u + 1378u + report::kCallbackFrameBytes);
}

// The same board with RampStepDelay 0 differs from the real one only in
// the timer polls of its waits.
void ExpectNoWaitDiffersOnlyInPolls(const RunFigures& r) {
  SCOPED_TRACE(r.name);
  const report::StepFigures& s = r.steps;
  ASSERT_TRUE(s.instructionsNoWait && s.timerReadsNoWait && s.instructionsPerPoll);
  EXPECT_EQ(s.instructionsNoWait->count, s.instructions.count);
  // A zero-tick wait reads the timer twice: its start, and one check.
  EXPECT_EQ(s.timerReadsNoWait->median, 4u);
  // Every further poll runs the same loop, so the difference per poll is a
  // whole number, and it accounts for the median step's difference.
  double perPoll = *s.instructionsPerPoll;
  EXPECT_GT(perPoll, 0);
  EXPECT_EQ(perPoll, std::floor(perPoll));
  EXPECT_EQ(static_cast<double>(s.instructions.median - s.instructionsNoWait->median),
            perPoll * static_cast<double>(s.timerReads.median - s.timerReadsNoWait->median));
}

TEST_F(ReportTest, ImageFiguresDescribeTheBuiltFiles) {
  const Report& r = Get();
  ASSERT_TRUE(r.image.has_value()) << r.imageError;
  const auto& i = *r.image;
  EXPECT_EQ(i.image_bytes, std::filesystem::file_size(r.imagePath));
  EXPECT_EQ(i.firmware_file_bytes, std::filesystem::file_size(r.ffsPath));
  EXPECT_LE(i.header_bytes + i.code_bytes + i.rodata_bytes + i.relocation_bytes, i.image_bytes);
  // The firmware file holds the whole image and its own headers.
  EXPECT_GT(i.firmware_file_bytes, i.image_bytes);
  EXPECT_GT(i.code_bytes, 0u);
}

TEST_F(ReportTest, DefaultBoardMakesTheAccessesItsRampMust) {
  ExpectRamp(Get().scenario, 1000, 1024, 50);
}

TEST_F(ReportTest, StepsWithoutWaitDifferOnlyInTimerPolls) {
  ExpectNoWaitDiffersOnlyInPolls(Get().scenario);
}

TEST_F(ReportTest, JsonCarriesTheSameFigures) {
  const Report& r = Get();
  nlohmann::ordered_json j = report::ReportJson(r);
  // Through text and back, as a consumer reads it.
  nlohmann::json parsed = nlohmann::json::parse(j.dump());
  EXPECT_EQ(parsed["image"]["imageBytes"], r.image->image_bytes);
  EXPECT_EQ(parsed["image"]["met"], r.image->image_bytes <= 2048);
  const nlohmann::json& s = parsed["scenario"];
  EXPECT_EQ(s["steps"]["steps"], r.scenario.steps.steps);
  EXPECT_EQ(s["steps"]["instructions"]["median"], r.scenario.steps.instructions.median);
  EXPECT_EQ(s["stack"]["highWater"], r.scenario.stackHighWater);
  EXPECT_EQ(s["stack"]["met"], r.scenario.stackHighWater <= report::kStackGoal);
  EXPECT_EQ(s["timeNs"]["total"], r.scenario.time.total);
  EXPECT_EQ(s["accesses"]["io"]["0x508"]["in"], r.scenario.accesses.io.at(report::kTimerPort).in);
  EXPECT_EQ(s["accesses"]["smbus"]["writeBlock"], r.scenario.accesses.smbus.at("writeBlock"));
  EXPECT_TRUE(parsed["worstCase"].is_null());
}

TEST_F(ReportTest, TextNamesTheRunAndTheGoals) {
  std::ostringstream text;
  report::PrintReport(text, Get());
  const std::string out = text.str();
  EXPECT_NE(out.find("default board"), std::string::npos);
  EXPECT_NE(out.find("goal <= 2,048"), std::string::npos);
  EXPECT_NE(out.find("goal <= 1,760"), std::string::npos);
  EXPECT_NE(out.find("IA-32 and native runs agree"), std::string::npos);
  EXPECT_EQ(out.find("worst case"), std::string::npos);
}

// The full ramp, measured once: 2,047 steps, every one as a step must be.
TEST(WorstCaseTest, IsTheFullRampStepByStep) {
  board::BoardConfig config = report::WorstCaseConfig();
  RunFigures r = report::MeasureRun("worst case", config);
  EXPECT_EQ(r.steps.steps, 2047u);
  EXPECT_EQ(r.levelSelect, std::optional<uint8_t>(board::setup::kLevelAutomatic));
  EXPECT_EQ(r.stepDelayUs, std::optional<uint8_t>(255));
  ExpectRamp(r, report::kWorstCaseFrom, report::kWorstCaseTo, report::kWorstCaseDelayUs);
  ExpectNoWaitDiffersOnlyInPolls(r);
}

// Scenarios other than a plain ramp, through the command as `clockramp report` runs it.
std::string RunCommand(const report::ReportCommandOptions& options, int expectedExit) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(report::RunReportCommand(options, out, err), expectedExit) << err.str();
  return expectedExit == 0 ? out.str() : err.str();
}

std::string Scenario(const char* name) { return std::string(CLOCKRAMP_SCENARIOS_DIR) + "/" + name; }

TEST(ReportCommandTest, ScenarioAtTargetHasNoSteps) {
  report::ReportCommandOptions options;
  options.scenario = Scenario("at-target.json");
  options.json = true;
  options.worstCase = false;
  nlohmann::json j = nlohmann::json::parse(RunCommand(options, 0));
  EXPECT_EQ(j["scenario"]["steps"]["steps"], 0);
  EXPECT_EQ(j["scenario"]["steps"]["instructions"]["count"], 0);
  EXPECT_TRUE(j["scenario"]["steps"]["instructionsPerPoll"].is_null());
  EXPECT_FALSE(j["scenario"]["steps"].contains("noWait"));
  EXPECT_TRUE(j["worstCase"].is_null());
  // Still the reads of the image and the final byte count.
  EXPECT_EQ(j["scenario"]["accesses"]["smbus"]["readBlock"], 2);
}

TEST(ReportCommandTest, FailedTransactionIsCountedAndStepsStillMeasured) {
  report::ReportCommandOptions options;
  options.scenario = Scenario("code-write-fails-last-step.json");
  options.json = true;
  options.worstCase = false;
  nlohmann::json j = nlohmann::json::parse(RunCommand(options, 0));
  const nlohmann::json& s = j["scenario"];
  EXPECT_EQ(s["accesses"]["smbusFailed"], 1);
  EXPECT_EQ(s["enginesAgree"], true);
  EXPECT_EQ(s["steps"]["steps"], 3);
  // The failed step ends at its code write: no guard disarm, no last POST.
  EXPECT_EQ(s["accesses"]["io"]["0x80"]["out"], 3 * kPostPerStep - 1);
}

TEST(ReportCommandTest, CommandLineFillsTheOptions) {
  CLI::App app;
  report::ReportCommandOptions options;
  report::AddReportCommand(app, options);
  std::vector<std::string> args = {"x.efi",  "--efi",  "--no-worst-case",
                                   "--json", "s.json", "report"};
  app.parse(args);  // CLI11 takes them last to first
  EXPECT_TRUE(app.got_subcommand("report"));
  EXPECT_EQ(options.scenario, "s.json");
  EXPECT_EQ(options.efi, "x.efi");
  EXPECT_TRUE(options.json);
  EXPECT_FALSE(options.worstCase);

  report::ReportCommandOptions defaults;
  CLI::App plain;
  report::AddReportCommand(plain, defaults);
  plain.parse(std::vector<std::string>{"report"});
  EXPECT_TRUE(defaults.worstCase);
  EXPECT_FALSE(defaults.json);
  EXPECT_TRUE(defaults.scenario.empty());
}

TEST(ReportCommandTest, BadScenarioIsRefused) {
  report::ReportCommandOptions options;
  options.scenario = Scenario("no-such-scenario.json");
  std::string err = RunCommand(options, 2);
  EXPECT_NE(err.find("no-such-scenario.json"), std::string::npos);

  report::ReportCommandOptions badImage;
  badImage.efi = options.scenario;  // not an image
  badImage.worstCase = false;
  EXPECT_NE(RunCommand(badImage, 2).find("clockramp:"), std::string::npos);
}

}  // namespace
