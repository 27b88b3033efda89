// The module inserted into a real firmware image, Debian's 32-bit OVMF
// (package ovmf-ia32), with UEFIExtract (package uefitool-cli) as the outside
// judge: the new image parses without complaint, lists our file in the PEI
// volume, and gives back a PE32 body byte-identical to the rebased image; the
// image lies in the decompressed volume at the address it was rebased for;
// and an image rebuilt with no change decompresses to the original volumes.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestTools.h"
#include "image/FirmwareEdit.h"
#include "image/FirmwareWalk.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"

namespace clockramp::fv {
namespace {

using clockramp::testing::Quote;
using clockramp::testing::ReadBytes;
using clockramp::testing::ReadText;
using clockramp::testing::RunCommand;
using clockramp::testing::ScratchFolder;

constexpr const char* kOvmf = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
// Where OVMF's SEC copies the PEI volume out of the decompressed main volume.
constexpr uint64_t kPeiRunAddress = 0x820000;

class OvmfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kOvmf)) {
      GTEST_SKIP() << kOvmf
                   << " is missing: install the Debian package ovmf-ia32 (scripts/deps.sh)";
    }
    if (std::string(CLOCKRAMP_TEST_UEFIEXTRACT).empty()) {
      GTEST_SKIP() << "UEFIExtract was not found when the build was configured (Debian package "
                      "uefitool-cli)";
    }
  }

  // Runs the packaging tool's insert on the OVMF image; the new image and the rebased one.
  void Insert(const std::string& options) {
    const auto result =
        RunCommand(Quote(CLOCKRAMP_TEST_FV_TOOL) + " insert " + Quote(kOvmf) + " new.fd --efi " +
                       Quote(CLOCKRAMP_TEST_IMAGE) + " --rebased rebased.efi " + options,
                   scratch_.path());
    ASSERT_EQ(result.exit_code, 0) << result.output;
  }

  clockramp::testing::CommandResult Extract(const std::string& arguments) {
    return RunCommand(Quote(CLOCKRAMP_TEST_UEFIEXTRACT) + " new.fd " + arguments, scratch_.path());
  }

  ScratchFolder scratch_;
};

TEST_F(OvmfTest, UefiExtractFindsTheRebasedPeimInThePeiVolume) {
  Insert("--run-address 0x820000 --apriori");
  const std::vector<uint8_t> original = ReadBytes(kOvmf);
  const std::vector<uint8_t> image = ReadBytes(scratch_.path() / "new.fd");
  ASSERT_EQ(image.size(), original.size());

  const auto report = Extract("report");
  EXPECT_EQ(report.exit_code, 0);
  EXPECT_EQ(report.output, "") << "UEFIExtract complained";
  const std::string text = ReadText(scratch_.path() / "new.fd.report.txt");
  EXPECT_EQ(text.find("invalid"), std::string::npos) << text;
  // Our file after the PEI core and before the DXE volume starts.
  const size_t core = text.find("PEI core");
  const size_t ours = text.find(kClockRampFileGuid.ToString() + " | ClockRamp");
  const size_t dxe = text.find("DXE core");
  ASSERT_NE(ours, std::string::npos) << text;
  EXPECT_LT(core, ours);
  EXPECT_LT(ours, dxe);

  const auto body = Extract(kClockRampFileGuid.ToString() + " -o out -m body -t 10");
  ASSERT_EQ(body.exit_code, 0) << body.output;
  const std::vector<uint8_t> rebased = ReadBytes(scratch_.path() / "rebased.efi");
  EXPECT_EQ(ReadBytes(scratch_.path() / "out" / "body.bin"), rebased);

  // The image sits in the decompressed PEI volume at its ImageBase - 0x820000.
  const Node root = WalkImage(image);
  const NodePath pei = ChooseVolume(root, std::nullopt);
  const std::vector<uint8_t> volume = NodeBytes(root, image, pei);
  const uint64_t base = pe::PeImage::Parse(rebased).headers().image_base;
  ASSERT_GT(base, kPeiRunAddress);
  EXPECT_EQ(base % 8, 0U);
  EXPECT_TRUE(std::equal(rebased.begin(), rebased.end(),
                         volume.begin() + static_cast<std::ptrdiff_t>(base - kPeiRunAddress)));

  // The SEC volume (the top of the flash) is untouched.
  const Node& sec = root.children.back();
  EXPECT_TRUE(std::equal(original.begin() + static_cast<std::ptrdiff_t>(sec.offset), original.end(),
                         image.begin() + static_cast<std::ptrdiff_t>(sec.offset)));
}

TEST_F(OvmfTest, RebuiltWithNoChangeTheVolumesDecompressAsBefore) {
  const std::vector<uint8_t> original = ReadBytes(kOvmf);
  const Node root = WalkImage(original);
  const NodePath pei = ChooseVolume(root, std::nullopt);
  const std::vector<uint8_t> rebuilt =
      ReplaceNode(root, original, pei, NodeBytes(root, original, pei));
  ASSERT_EQ(rebuilt.size(), original.size());
  const Node again = WalkImage(rebuilt);
  // The LZMA section is the first section of the main volume's first file.
  const Node& before = At(root, {0, 0, 0});
  const Node& after = At(again, {0, 0, 0});
  ASSERT_TRUE(before.compressed);
  EXPECT_EQ(after.decoded, before.decoded);

  testing::WriteBytes(scratch_.path() / "new.fd", rebuilt);
  const auto report = Extract("report");
  EXPECT_EQ(report.output, "") << "UEFIExtract complained";
}

TEST_F(OvmfTest, TheFlashPeiVolumeNeedsARunAddress) {
  const auto result = RunCommand(Quote(CLOCKRAMP_TEST_FV_TOOL) + " insert " + Quote(kOvmf) +
                                     " new.fd --efi " + Quote(CLOCKRAMP_TEST_IMAGE),
                                 scratch_.path());
  EXPECT_EQ(result.exit_code, 2) << result.output;
  EXPECT_NE(result.output.find("--run-address"), std::string::npos) << result.output;
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "new.fd"));
}

}  // namespace
}  // namespace clockramp::fv
