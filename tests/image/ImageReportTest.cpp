// The size report, cross-checked against llvm-readobj's view of the image.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "TestTools.h"
#include "image/ImageReport.h"

namespace clockramp::image {
namespace {

using clockramp::testing::Quote;
using clockramp::testing::RunCommand;

TEST(ImageReport, FiguresAgreeWithLlvmReadobj) {
  const ImageFigures f = ReadImageFigures(CLOCKRAMP_TEST_IMAGE, CLOCKRAMP_TEST_FFS);
  const std::string tool = CLOCKRAMP_TEST_LLVM_READOBJ;
  ASSERT_FALSE(tool.empty()) << "llvm-readobj was not found when the build was configured";
  const auto out = RunCommand(Quote(tool) + " --file-headers --sections --coff-basereloc " +
                       Quote(CLOCKRAMP_TEST_IMAGE));
  ASSERT_EQ(out.exit_code, 0) << out.output;

  std::smatch m;
  ASSERT_TRUE(std::regex_search(out.output, m, std::regex(R"(SizeOfHeaders: (\d+))")));
  EXPECT_EQ(f.header_bytes, std::stoul(m[1].str()));
  ASSERT_TRUE(std::regex_search(out.output, m, std::regex(R"(BaseRelocationTableSize: (0x[0-9A-F]+))")));
  EXPECT_EQ(f.relocation_bytes, std::stoul(m[1].str(), nullptr, 16));
  // .text holds the code and then the read-only data, nothing else but padding.
  ASSERT_TRUE(std::regex_search(out.output, m,
                                std::regex(R"(Name: \.text [^\n]*\n\s*VirtualSize: (0x[0-9A-F]+))")));
  const uint32_t text = static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16));
  EXPECT_GT(f.code_bytes, 0U);
  EXPECT_GT(f.rodata_bytes, 0U);
  EXPECT_LE(f.code_bytes + f.rodata_bytes, text);
  EXPECT_GT(f.code_bytes + f.rodata_bytes + 8, text);

  size_t highlow = 0;
  for (size_t at = 0; (at = out.output.find("Type: HIGHLOW", at)) != std::string::npos; ++at) {
    ++highlow;
  }
  EXPECT_EQ(f.relocations, highlow);
  EXPECT_EQ(f.image_bytes, clockramp::testing::ReadBytes(CLOCKRAMP_TEST_IMAGE).size());
  EXPECT_EQ(f.firmware_file_bytes, clockramp::testing::ReadBytes(CLOCKRAMP_TEST_FFS).size());
  // The TE form drops the headers before the section table and adds its own 40.
  ASSERT_TRUE(std::regex_search(out.output, m, std::regex(R"(OptionalHeaderSize: (\d+))")));
  const uint32_t optional_header = static_cast<uint32_t>(std::stoul(m[1].str()));
  ASSERT_TRUE(std::regex_search(out.output, m, std::regex(R"(AddressOfNewExeHeader: (\d+))")));
  const uint32_t pe_header = static_cast<uint32_t>(std::stoul(m[1].str()));
  EXPECT_EQ(f.te_image_bytes, f.image_bytes - (pe_header + 4 + 20 + optional_header) + 40);

  std::ostringstream printed;
  PrintImageFigures(printed, f);
  EXPECT_NE(printed.str().find("image:          " + std::to_string(f.image_bytes) + " bytes"),
            std::string::npos)
      << printed.str();
  EXPECT_NE(printed.str().find(f.image_bytes <= kImageSizeGoal ? "within" : "OVER"),
            std::string::npos);
}

TEST(ImageReport, MissingInputsAreErrors) {
  EXPECT_THROW(ReadImageFigures(CLOCKRAMP_TEST_IMAGE, "/nonexistent/ClockRamp.ffs"),
               std::runtime_error);
  EXPECT_THROW(ReadImageFigures(CLOCKRAMP_TEST_IMAGE, CLOCKRAMP_TEST_FFS, "/nonexistent/x.map"),
               std::runtime_error);
}

}  // namespace
}  // namespace clockramp::image
