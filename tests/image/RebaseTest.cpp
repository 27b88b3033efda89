// Rebasing for execute-in-place: every relocated word moves by exactly the
// change of base and then points into the image where it runs, ImageBase is
// the new base, the relocation table stays so a loader can still move the
// image, and bases the image cannot take are refused.
#include <gtest/gtest.h>

#include "BuildPaths.h"
#include "image/PeImage.h"
#include "image/Rebase.h"

namespace clockramp::pe {
namespace {

const PeImage& Image() {
  static const PeImage image = PeImage::ReadFile(CLOCKRAMP_TEST_IMAGE);
  return image;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, uint32_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

TEST(Rebase, EveryRelocatedAddressPointsIntoTheImageAtItsNewBase) {
  const PeImage& original = Image();
  ASSERT_EQ(original.relocations().size(), 12U);
  for (const uint32_t base : {0x00847270U, 0xFFC8A2B8U, 0x00001000U}) {
    const PeImage rebased = PeImage::Parse(RebaseImage(original, base));
    EXPECT_EQ(rebased.headers().image_base, base);
    ASSERT_EQ(rebased.relocations().size(), original.relocations().size());
    for (size_t i = 0; i < original.relocations().size(); ++i) {
      const BaseRelocation& r = original.relocations()[i];
      EXPECT_EQ(rebased.relocations()[i].rva, r.rva);
      const uint32_t at = *original.RvaToOffset(r.rva);
      const uint32_t before = WordAt(original.bytes(), at);
      const uint32_t after = WordAt(rebased.bytes(), at);
      EXPECT_EQ(after - before, base - static_cast<uint32_t>(original.headers().image_base))
          << std::hex << r.rva;
      EXPECT_GE(after, base) << std::hex << "RVA " << r.rva;
      EXPECT_LT(after - base, original.headers().size_of_image) << std::hex << "RVA " << r.rva;
    }
    // Only the relocated words and ImageBase changed; a loader that copies
    // the image elsewhere gets what it would from the original.
    size_t changed = 0;
    for (size_t i = 0; i < original.bytes().size(); ++i) {
      changed += original.bytes()[i] != rebased.bytes()[i] ? 1 : 0;
    }
    EXPECT_LE(changed, 4 * (original.relocations().size() + 1));
    // (The headers differ in ImageBase.)
    const size_t headers = original.headers().size_of_headers;
    for (const uint32_t load : {0xFFF81020U, base}) {
      const std::vector<uint8_t> a = rebased.Load(load);
      const std::vector<uint8_t> b = original.Load(load);
      EXPECT_TRUE(std::equal(a.begin() + static_cast<std::ptrdiff_t>(headers), a.end(),
                             b.begin() + static_cast<std::ptrdiff_t>(headers), b.end()))
          << std::hex << "loaded at " << load;
    }
  }
}

TEST(Rebase, BasesTheImageCannotTakeAreRefused) {
  EXPECT_THROW(RebaseImage(Image(), 0x00847274), PeFormatError);  // not 8-byte aligned
  // A DIR64 relocation has no place in a PE32 image.
  std::vector<uint8_t> bytes = Image().bytes();
  const uint32_t entry = *Image().RvaToOffset(Image().Directory(kBaseRelocationDirectory).rva) + 8;
  bytes[entry + 1] = static_cast<uint8_t>((bytes[entry + 1] & 0x0F) | 0xA0);
  EXPECT_THROW(RebaseImage(PeImage::Parse(bytes), 0x00847270), PeFormatError);
}

}  // namespace
}  // namespace clockramp::pe
