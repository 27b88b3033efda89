// efivarfs variable files in and out: the layout, the Name-GUID check,
// what a scenario takes from such a file, and `clockramp setup`, which
// changes the ramp's fields and keeps everything else.
#include "tools/EfiVariableFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "board/Board.h"
#include "board/BoardConfig.h"
#include "tools/Scenario.h"
#include "tools/SetupCommand.h"

namespace clockramp::tool {
namespace {

namespace fs = std::filesystem;

const std::string kSetupName = "Setup-EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9";
const std::string kPchRcName = "PchRcConfiguration-D19A26A3-17F1-48C3-8A1E-11EB0A7F6E4E";

TEST(EfiVariableFile, EncodeThenParseGivesTheSameVariable) {
  for (const EfiVariableFile& file : {EfiVariableFile{0x7, board::MakeSetup(1100, 2, 9)},
                                      EfiVariableFile{0x27, {}}, EfiVariableFile{0x1, {0xFF}}}) {
    std::vector<uint8_t> bytes = EncodeEfiVariableFile(file);
    ASSERT_EQ(bytes.size(), 4 + file.data.size());
    EXPECT_EQ(bytes[0], file.attributes & 0xFF);  // little-endian
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(ParseEfiVariableFile(bytes, "f"), file);
  }
}

TEST(EfiVariableFile, TruncatedFilesAndUnknownAttributesAreRefused) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* problem;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "truncated: 0 bytes"},
           {{7, 0, 0}, "truncated: 3 bytes"},
           {{0x80, 0, 0, 0, 1}, "attributes 0x00000080 have bits no variable has"},
           {{7, 0, 0, 0x10}, "attributes 0x10000007"},
       }) {
    try {
      ParseEfiVariableFile(c.bytes, "var");
      ADD_FAILURE() << c.problem;
    } catch (const EfiVariableFileError& e) {
      EXPECT_EQ(e.Source(), "var");
      EXPECT_NE(e.Problem().find(c.problem), std::string::npos) << e.what();
    }
  }
}

TEST(EfiVariableFile, NameGuidFileNamesMustNameTheVariable) {
  struct Case {
    std::string path;
    bool accepted;
  };
  for (const Case& c : std::vector<Case>{
           {kSetupName, true},
           {"/sys/firmware/efi/efivars/" + kSetupName, true},
           {"Setup-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9", true},  // either case
           {"setup.bin", true},                                   // no Name-GUID form: no check
           {"Setup-copy", true},
           {kPchRcName, false},
           {"Setup-D19A26A3-17F1-48C3-8A1E-11EB0A7F6E4E", false},  // the other vendor
           {"SetupX-EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9", false},
       }) {
    SCOPED_TRACE(c.path);
    if (c.accepted) {
      EXPECT_NO_THROW(CheckVariableFileName(c.path, SetupVariableId()));
    } else {
      EXPECT_THROW(CheckVariableFileName(c.path, SetupVariableId()), EfiVariableFileError);
    }
  }
  EXPECT_NO_THROW(CheckVariableFileName(kPchRcName, PchRcConfigurationVariableId()));
}

// A folder of files for one test.
class VariableFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("clockramp-efivar-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "vars");
  }
  void TearDown() override { fs::remove_all(dir_); }

  [[nodiscard]] std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  [[nodiscard]] std::vector<uint8_t> Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  Scenario Load(const std::string& json) const {
    std::ofstream(Path("s.json")) << json;
    return LoadScenario(Path("s.json"));
  }

  fs::path dir_;
};

// A "Setup" image from the board: the ramp fields and bytes around them set.
std::vector<uint8_t> BoardSetup() {
  std::vector<uint8_t> data = board::MakeSetup(1010, 3, 20);
  data[0] = 0x11;
  data[163] = 0x22;
  data[168] = 0x33;
  data[218] = 0x44;
  return data;
}

TEST_F(VariableFiles, ScenarioTakesDataAndAttributesThenAppliesItsFields) {
  Write("vars/" + kSetupName, EncodeEfiVariableFile({0x27, BoardSetup()}));
  Write("vars/" + kPchRcName, EncodeEfiVariableFile({0x3, board::MakePchRcConfiguration(0x80)}));
  Scenario s = Load(R"({"setup": {"efivarfs": "vars/)" + kSetupName +
                    R"(", "RampStepDelay": 7},
                        "pchRcConfiguration": {"efivarfs": "vars/)" +
                    kPchRcName + R"("}})");
  std::vector<uint8_t> expected = BoardSetup();
  expected[board::setup::kRampStepDelayOffset] = 7;
  EXPECT_EQ(s.config.setup, expected);
  EXPECT_EQ(s.config.setupAttributes, 0x27U);
  EXPECT_EQ(s.config.pchRcConfiguration, board::MakePchRcConfiguration(0x80));
  EXPECT_EQ(s.config.pchRcConfigurationAttributes, 0x3U);
  // The board answers GetVariable with the file's attributes.
  board::Board b(s.config);
  EXPECT_EQ(b.Variables().Get(board::kSetupName, board::guids::kSetupVariable, 4096).attributes,
            0x27U);
}

TEST_F(VariableFiles, ScenarioRefusesAMismatchedOrTruncatedFile) {
  Write("vars/" + kPchRcName, EncodeEfiVariableFile({0x7, board::MakePchRcConfiguration(5)}));
  Write("vars/short", {7, 0});
  struct Case {
    std::string json;
    const char* member;
    const char* problem;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"setup": {"efivarfs": "vars/)" + kPchRcName + R"("}})", "setup.efivarfs",
            "not \"Setup\" of vendor EC87D643"},
           {R"({"pchRcConfiguration": {"efivarfs": "vars/short"}})", "pchRcConfiguration.efivarfs",
            "short: truncated: 2 bytes"},
           {R"({"setup": {"efivarfs": "vars/none"}})", "setup.efivarfs", "cannot be read"},
           {R"({"setup": {"efivarfs": 5}})", "setup.efivarfs", "must be a string"},
       }) {
    SCOPED_TRACE(c.json);
    try {
      Load(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(e.Member(), c.member);
      EXPECT_NE(e.Problem().find(c.problem), std::string::npos) << e.what();
    }
  }
}

TEST_F(VariableFiles, SetupChangesTheFieldsAndKeepsEveryOtherByteAndTheAttributes) {
  Write(kSetupName, EncodeEfiVariableFile({0x27, BoardSetup()}));
  std::ostringstream out;
  std::ostringstream err;
  SetupOptions options{Path(kSetupName), Path("new/") + kSetupName, 2047, "auto", 255};
  fs::create_directories(Path("new"));
  ASSERT_EQ(RunSetupCommand(options, out, err), 0) << err.str();
  EfiVariableFile written = LoadEfiVariableFile(options.output, SetupVariableId());
  std::vector<uint8_t> expected = BoardSetup();
  expected[164] = 0xFF;
  expected[165] = 0x07;
  expected[166] = 0xFF;
  expected[167] = 255;
  EXPECT_EQ(written, (EfiVariableFile{0x27, expected}));
  EXPECT_NE(out.str().find("RampTargetCode   1010 → 2047"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("RampLevelSelect  3 → 255 (automatic)"), std::string::npos);

  // Only the options given change; no input starts from the default board.
  options = SetupOptions{std::nullopt, Path("d"), std::nullopt, "1", std::nullopt};
  ASSERT_EQ(RunSetupCommand(options, out, err), 0) << err.str();
  EXPECT_EQ(LoadEfiVariableFile(Path("d"), SetupVariableId()),
            (EfiVariableFile{0x7, board::MakeSetup(1024, 1, 50)}));
}

TEST_F(VariableFiles, SetupRefusesBadValuesAndShortFilesAndWritesNothing) {
  std::vector<uint8_t> shortSetup = BoardSetup();
  shortSetup.resize(167);  // RampStepDelay missing
  Write("short", EncodeEfiVariableFile({0x7, shortSetup}));
  Write(kPchRcName, EncodeEfiVariableFile({0x7, board::MakePchRcConfiguration(5)}));
  // Options with the output to write: "out", or a file named for the other variable.
  auto with = [&](std::optional<std::string> input, std::optional<uint64_t> target,
                  std::optional<std::string> level, std::optional<uint64_t> delay,
                  const std::string& output = "out") {
    return SetupOptions{std::move(input), Path(output), target, std::move(level), delay};
  };
  struct Case {
    SetupOptions options;
    const char* message;
  };
  const std::vector<Case> cases = {
      {with(std::nullopt, 2048, std::nullopt, std::nullopt), "--target 2048: above 2047"},
      {with(std::nullopt, std::nullopt, "4x", std::nullopt), "--level 4x"},
      {with(std::nullopt, std::nullopt, "256", std::nullopt), "--level 256"},
      {with(std::nullopt, std::nullopt, std::nullopt, 256), "--delay 256"},
      {with(Path("short"), 1000, std::nullopt, std::nullopt), "holds 167 bytes of data"},
      {with(Path(kPchRcName), 1000, std::nullopt, std::nullopt), "\"PchRcConfiguration\""},
      {with(std::nullopt, 1000, std::nullopt, std::nullopt, "o-" + kPchRcName), "not \"Setup\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunSetupCommand(c.options, out, err), 2);
    const std::string message = err.str();
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_FALSE(fs::exists(c.options.output));
    EXPECT_EQ(out.str(), "");
  }
}

}  // namespace
}  // namespace clockramp::tool
