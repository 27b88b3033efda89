// The stripped-header (TE) form of the image, and its firmware volume as
// UEFIExtract sees it.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestTools.h"
#include "image/FvBuilder.h"
#include "image/TeImage.h"

namespace clockramp::pe {
namespace {

using clockramp::testing::Quote;
using clockramp::testing::ReadBytes;
using clockramp::testing::ReadText;
using clockramp::testing::RunCommand;
using clockramp::testing::ScratchFolder;

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(TeImage, KeepsWhatTheLoaderNeedsAndMovesEveryByteByTheSameAmount) {
  const PeImage image = PeImage::ReadFile(CLOCKRAMP_TEST_IMAGE);
  const std::vector<uint8_t> te = BuildTeImage(image);
  const TeHeader h = ParseTeHeader(te);
  const Headers& pe = image.headers();
  EXPECT_EQ(h.machine, pe.machine);
  EXPECT_EQ(h.subsystem, pe.subsystem);
  EXPECT_EQ(h.number_of_sections, image.sections().size());
  EXPECT_EQ(h.entry_point, pe.entry_point);
  EXPECT_EQ(h.base_of_code, pe.base_of_code);
  EXPECT_EQ(h.image_base, pe.image_base);
  EXPECT_EQ(h.relocations.rva, image.Directory(kBaseRelocationDirectory).rva);
  EXPECT_EQ(h.relocations.size, image.Directory(kBaseRelocationDirectory).size);
  EXPECT_EQ(h.debug.size, 0U);
  // Stripped: everything before the section table (DOS stub, PE, COFF and
  // optional headers: 120 + 4 + 20 + 224 bytes).
  EXPECT_EQ(h.stripped_size, 368U);
  ASSERT_EQ(te.size(), kTeHeaderSize + image.bytes().size() - h.stripped_size);

  const auto te_offset = [&](uint32_t pe_offset) { return pe_offset - h.stripped_size + kTeHeaderSize; };
  for (const Section& s : image.sections()) {
    EXPECT_TRUE(std::equal(image.bytes().begin() + s.raw_offset,
                           image.bytes().begin() + s.raw_offset + s.raw_size,
                           te.begin() + te_offset(s.raw_offset)))
        << s.name;
  }
  // The section table follows the TE header unchanged.
  EXPECT_TRUE(std::equal(te.begin() + kTeHeaderSize, te.begin() + kTeHeaderSize + 40,
                         image.bytes().begin() + h.stripped_size));
  for (const BaseRelocation& r : image.relocations()) {
    EXPECT_EQ(Get32(te, te_offset(r.rva)), Get32(image.bytes(), r.rva)) << "at RVA " << r.rva;
  }
}

TEST(TeImage, RejectsWhatHasNoTeForm) {
  std::vector<uint8_t> bytes = ReadBytes(CLOCKRAMP_TEST_IMAGE);
  const uint32_t optional_header = Get32(bytes, 0x3C) + 24;
  bytes[optional_header + 1] = 0x02;  // magic 0x20B: PE32+
  EXPECT_THROW(BuildTeImage(PeImage::Parse(bytes)), PeFormatError);
  EXPECT_THROW(ParseTeHeader(ReadBytes(CLOCKRAMP_TEST_IMAGE)), PeFormatError);
  EXPECT_THROW(ParseTeHeader({'V', 'Z'}), PeFormatError);
}

TEST(TeImage, UefiExtractParsesTheTeVolumeAndReturnsTheTeImage) {
  const std::string tool = CLOCKRAMP_TEST_UEFIEXTRACT;
  ASSERT_FALSE(tool.empty()) << "UEFIExtract was not found when the build was configured";
  const std::vector<uint8_t> te = BuildTeImage(PeImage::ReadFile(CLOCKRAMP_TEST_IMAGE));
  const std::vector<uint8_t> volume = ReadBytes(CLOCKRAMP_TEST_TE_FV);
  ScratchFolder scratch;
  clockramp::testing::WriteBytes(scratch.path() / "te.fv", volume);

  const auto report = RunCommand(Quote(tool) + " te.fv report", scratch.path());
  ASSERT_EQ(report.exit_code, 0) << report.output;
  EXPECT_EQ(report.output.find("invalid"), std::string::npos) << report.output;
  const std::string text = ReadText(scratch.path() / "te.fv.report.txt");
  EXPECT_NE(text.find("TE image"), std::string::npos) << text;
  EXPECT_EQ(text.find("PE32 image"), std::string::npos) << text;

  const auto dump = RunCommand(
      Quote(tool) + " te.fv " + fv::kClockRampFileGuid.ToString() + " -o out -m body -t 12",
      scratch.path());
  ASSERT_EQ(dump.exit_code, 0) << dump.output;
  EXPECT_EQ(ReadBytes(scratch.path() / "out" / "body.bin"), te);

  // Run in place, the image's base (TE body + 40 - StrippedSize) keeps the
  // sections' 8-byte alignment.
  const size_t body = static_cast<size_t>(std::search(volume.begin(), volume.end(), te.begin(),
                                                      te.end()) - volume.begin());
  ASSERT_LT(body, volume.size());
  EXPECT_EQ((body + kTeHeaderSize - ParseTeHeader(te).stripped_size) % 8, 0U);
}

}  // namespace
}  // namespace clockramp::pe
