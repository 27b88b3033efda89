// The firmware volume as a third-party parser sees it: UEFIExtract (Debian's
// uefitool-cli) must parse it without complaint, find the PEIM by its GUID
// and hand back the PE32 body byte for byte; a damaged checksum must be
// reported, as our walk reports it. UEFIExtract exits 0 even when it reports
// a checksum error, so the tests read what it prints.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestTools.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"

namespace clockramp::fv {
namespace {

using clockramp::testing::Quote;
using clockramp::testing::ReadBytes;
using clockramp::testing::ReadText;
using clockramp::testing::RunCommand;
using clockramp::testing::ScratchFolder;
using clockramp::testing::WriteBytes;

class UefiExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (tool_.empty()) {
      GTEST_FAIL() << "UEFIExtract was not found when the build was configured "
                      "(Debian package uefitool-cli)";
    }
  }

  // Runs UEFIExtract on a copy of a volume in the scratch folder.
  clockramp::testing::CommandResult Extract(const std::vector<uint8_t>& fv,
                                            const std::string& arguments) {
    WriteBytes(scratch_.path() / "volume.fv", fv);
    return RunCommand(Quote(tool_) + " volume.fv " + arguments, scratch_.path());
  }

  const std::string tool_ = CLOCKRAMP_TEST_UEFIEXTRACT;
  const std::vector<uint8_t> fv_ = ReadBytes(CLOCKRAMP_TEST_FV);
  ScratchFolder scratch_;
};

// Lines of UEFIExtract's output that report a fault. Without a reset-vector
// file a lone volume always draws a note that no volume top file was found:
// that is about the volume not being a whole flash image, not a fault.
std::string Complaints(const std::string& output) {
  std::string complaints;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.find("Volume Top File") == std::string::npos) {
      complaints += line + "\n";
    }
  }
  return complaints;
}

TEST_F(UefiExtractTest, ParsesTheVolumeWithoutComplaint) {
  const auto result = Extract(fv_, "report");
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Complaints(result.output), "");
  const std::string report = ReadText(scratch_.path() / "volume.fv.report.txt");
  for (const std::string& expected :
       {std::string("FFSv2"), kFirmwareFileSystem2Guid.ToString(), std::string("PEI module"),
        kClockRampFileGuid.ToString() + " | ClockRamp", std::string("PEI dependency"),
        std::string("PE32 image"), std::string("UI section"), std::string("Volume free space")}) {
    EXPECT_NE(report.find(expected), std::string::npos) << "no \"" << expected << "\" in\n"
                                                        << report;
  }
}

TEST_F(UefiExtractTest, FindsThePeimByGuidAndExtractsTheImageUnchanged) {
  const auto result = Extract(fv_, kClockRampFileGuid.ToString() + " -o out -m body -t 10");
  ASSERT_EQ(result.exit_code, 0) << result.output;  // 0: the GUID was found and dumped
  EXPECT_EQ(Complaints(result.output), "");
  EXPECT_EQ(ReadBytes(scratch_.path() / "out" / "body.bin"), ReadBytes(CLOCKRAMP_TEST_IMAGE));

  const auto name = Extract(fv_, kClockRampFileGuid.ToString() + " -o ui -m body -t 15");
  ASSERT_EQ(name.exit_code, 0) << name.output;
  EXPECT_EQ(ReadBytes(scratch_.path() / "ui" / "body.bin"), Utf16Name("ClockRamp"));
}

TEST_F(UefiExtractTest, AnUnknownGuidIsNotFound) {
  const auto result = Extract(fv_, "0444A79F-3154-4B14-9D8E-73CFD19CDF06 -o out -m body -t 10");
  EXPECT_NE(result.exit_code, 0) << result.output;
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "out" / "body.bin"));
}

// Where the UI section's name lies in the volume: found, not counted, since
// the PE32 body before it changes size with the module's code.
size_t NameOffset(const std::vector<uint8_t>& fv) {
  const std::vector<uint8_t> name = Utf16Name("ClockRamp");
  return static_cast<size_t>(std::search(fv.begin(), fv.end(), name.begin(), name.end()) -
                             fv.begin()) +
         2;
}

TEST_F(UefiExtractTest, DamagedChecksumsAreReported) {
  ASSERT_LT(NameOffset(fv_), fv_.size());
  constexpr size_t kFile = 72;  // the file follows the volume header
  struct Case {
    const char* damage;
    size_t offset;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"volume header checksum", 50, "volume header checksum is invalid"},
      {"volume attributes", 44, "volume header checksum is invalid"},
      {"file header checksum", kFile + 16, "invalid header checksum"},
      {"file type", kFile + 18, "invalid header checksum"},
      {"file data checksum", kFile + 17, "invalid data checksum"},
      {"a byte of the PE32 body", kFile + ImageBodyOffset() + 0x300, "invalid data checksum"},
      {"a byte of the name", NameOffset(fv_), "invalid data checksum"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> damaged = fv_;
    damaged[c.offset] ^= 0x01;
    const auto result = Extract(damaged, "report");
    EXPECT_NE(result.output.find(c.message), std::string::npos)
        << c.damage << ": UEFIExtract said\n"
        << result.output;
    // Our walk, going on past damage, finds it too; a file's checksum it
    // marks in UEFIExtract's words, with the same values.
    const Node root = WalkImage(damaged, {.keep_going = true});
    ASSERT_EQ(CountDamage(root), 1U) << c.damage;
    const Node& volume = root.children.at(0);
    const std::vector<std::string>& found =
        volume.damage.empty() ? volume.children.at(0).damage : volume.damage;
    ASSERT_EQ(found.size(), 1U) << c.damage;
    EXPECT_NE(found[0].find("checksum"), std::string::npos) << c.damage << ": " << found[0];
    if (!volume.damage.empty()) {
      continue;
    }
    EXPECT_NE(result.output.find(found[0]), std::string::npos)
        << c.damage << ": we said " << found[0] << ", UEFIExtract said\n"
        << result.output;
  }
}

}  // namespace
}  // namespace clockramp::fv
