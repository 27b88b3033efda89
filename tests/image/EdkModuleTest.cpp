// The EDK II binary module the build writes beside ClockRamp.efi: the INF
// names files that are there, with our file GUID and module type, and the
// dependency expression is byte for byte the depex section of our firmware file.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "TestTools.h"
#include "image/EdkModule.h"
#include "image/FvBuilder.h"

namespace clockramp::fv {
namespace {

using clockramp::testing::ReadBytes;
using clockramp::testing::ReadText;

// The value of "KEY = value" in the INF, or "".
std::string Define(const std::string& inf, const std::string& key) {
  std::smatch m;
  const std::regex line("\\n\\s*" + key + "\\s*=\\s*(\\S+)");
  return std::regex_search(inf, m, line) ? m[1].str() : "";
}

TEST(EdkModule, InfNamesTheFilesTheBuildWrote) {
  const std::string inf = ReadText(CLOCKRAMP_TEST_INF);
  EXPECT_EQ(Define(inf, "INF_VERSION"), "0x00010005");
  EXPECT_EQ(Define(inf, "MODULE_TYPE"), "PEIM");
  EXPECT_EQ(Define(inf, "FILE_GUID"), kClockRampFileGuid.ToString());
  EXPECT_EQ(Define(inf, "BASE_NAME"), "ClockRamp");

  const size_t binaries = inf.find("[Binaries.Ia32]");
  ASSERT_NE(binaries, std::string::npos) << inf;
  const std::filesystem::path folder = std::filesystem::path(CLOCKRAMP_TEST_INF).parent_path();
  std::smatch m;
  const std::string section = inf.substr(binaries);
  ASSERT_TRUE(std::regex_search(section, m, std::regex("\\n\\s*PE32\\|(\\S+)"))) << inf;
  EXPECT_EQ(ReadBytes(folder / m[1].str()), ReadBytes(CLOCKRAMP_TEST_IMAGE));
  ASSERT_TRUE(std::regex_search(section, m, std::regex("\\n\\s*PEI_DEPEX\\|(\\S+)"))) << inf;
  EXPECT_EQ(folder / m[1].str(), std::filesystem::path(CLOCKRAMP_TEST_DEPEX));
}

TEST(EdkModule, DepexIsTheFirmwareFilesDepexSection) {
  const std::vector<uint8_t> ffs = ReadBytes(CLOCKRAMP_TEST_FFS);
  // The first section follows the 24-byte file header.
  ASSERT_EQ(ffs[kFfsFileHeaderSize + 3], kSectionPeiDepex);
  const uint32_t size = ffs[24] | (ffs[25] << 8) | (ffs[26] << 16);
  const std::vector<uint8_t> body(ffs.begin() + kFfsFileHeaderSize + kSectionHeaderSize,
                                  ffs.begin() + kFfsFileHeaderSize + size);
  EXPECT_EQ(ReadBytes(CLOCKRAMP_TEST_DEPEX), body);
  EXPECT_EQ(body, BuildDepexRequiring(kPcdPpiGuid));
}

}  // namespace
}  // namespace clockramp::fv
