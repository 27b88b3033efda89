// The PE32 reader and loader on the built image and on damaged copies of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "TestTools.h"
#include "image/PeImage.h"

namespace clockramp::pe {
namespace {

using clockramp::testing::ReadBytes;

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    b[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Offsets of the PE32 headers of an image, found the way a loader finds them.
struct Layout {
  size_t file_header;
  size_t optional_header;
  size_t section_table;
  size_t relocation_directory;  // the data directory entry
};

Layout LayoutOf(const std::vector<uint8_t>& b) {
  const size_t file_header = Get32(b, 0x3C) + 4;
  const size_t optional_header = file_header + 20;
  const size_t optional_size = b[file_header + 16] | (b[file_header + 17] << 8);
  return {file_header, optional_header, optional_header + optional_size,
          optional_header + 96 + size_t{8} * kBaseRelocationDirectory};
}

class PeImageTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> bytes_ = ReadBytes(CLOCKRAMP_TEST_IMAGE);
};

TEST_F(PeImageTest, ReadsTheBuiltImage) {
  const PeImage image = PeImage::Parse(bytes_);
  const Headers& h = image.headers();
  EXPECT_TRUE(image.IsPe32());
  EXPECT_EQ(h.machine, kMachineI386);
  EXPECT_EQ(h.subsystem, kSubsystemEfiBootServiceDriver);
  EXPECT_EQ(h.image_base, 0U);
  EXPECT_EQ(h.size_of_image, bytes_.size());
  ASSERT_EQ(image.sections().size(), 2U);
  EXPECT_EQ(image.sections()[0].name, ".text");
  EXPECT_EQ(image.sections()[1].name, ".reloc");
  EXPECT_TRUE(image.sections()[0].Executable());
  // The relocation directory is exactly the .reloc section's data.
  const Section* reloc = image.FindSection(".reloc");
  ASSERT_NE(reloc, nullptr);
  EXPECT_EQ(image.Directory(kBaseRelocationDirectory).rva, reloc->virtual_address);
  EXPECT_FALSE(image.relocations().empty());
  for (const BaseRelocation& r : image.relocations()) {
    EXPECT_EQ(r.type, RelocationType::kHighLow);
    // Based at 0, every relocated word holds an address inside the image.
    EXPECT_LT(Get32(bytes_, *image.RvaToOffset(r.rva)), h.size_of_image) << "at RVA " << r.rva;
  }
}

TEST_F(PeImageTest, LoadAppliesTheLoadDeltaToExactlyTheRelocatedWords) {
  const PeImage image = PeImage::Parse(bytes_);
  constexpr uint64_t kBase = 0xFFF80000;
  const std::vector<uint8_t> memory = image.Load(kBase);
  ASSERT_EQ(memory.size(), image.headers().size_of_image);
  // The headers and each section's data (up to its virtual size) come from
  // the file, where sections sit at their RVAs; the rest of memory is zero.
  std::vector<uint8_t> expected(memory.size(), 0);
  std::copy_n(bytes_.begin(), image.headers().size_of_headers, expected.begin());
  for (const Section& s : image.sections()) {
    std::copy_n(bytes_.begin() + s.raw_offset, std::min(s.raw_size, s.virtual_size),
                expected.begin() + s.virtual_address);
  }
  std::vector<bool> patched(memory.size(), false);
  for (const BaseRelocation& r : image.relocations()) {
    EXPECT_EQ(Get32(memory, r.rva), static_cast<uint32_t>(Get32(expected, r.rva) + kBase));
    for (unsigned i = 0; i < 4; ++i) {
      patched[r.rva + i] = true;
    }
  }
  for (size_t i = 0; i < memory.size(); ++i) {
    if (!patched[i]) {
      ASSERT_EQ(memory[i], expected[i]) << "at offset " << i;
    }
  }
  EXPECT_EQ(image.Load(0), expected);
}

TEST_F(PeImageTest, RejectsDamagedImagesSayingWhatIsWrong) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&, const Layout&)> damage;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"truncated DOS header", [](auto& b, auto&) { b.resize(32); }, "DOS header"},
      {"no MZ", [](auto& b, auto&) { b[0] = 'X'; }, "no MZ signature"},
      {"PE header offset past the end", [](auto& b, auto&) { Set32(b, 0x3C, 0xFFFFFF00); },
       "PE signature at offset"},
      {"bad PE signature", [](auto& b, auto& l) { b[l.file_header - 4] = 'X'; }, "no PE signature"},
      {"unknown magic", [](auto& b, auto& l) { b[l.optional_header + 1] = 0x12; },
       "unknown optional header magic"},
      {"too many data directories",
       [](auto& b, auto& l) { Set32(b, l.optional_header + 92, 17); }, "data directories"},
      {"section table past the end",
       [](auto& b, auto& l) { b[l.file_header + 2] = 0xFF; }, "section table"},
      {"section data past the end",
       [](auto& b, auto& l) { Set32(b, l.section_table + 20, 0x100000); },
       "raw data of section .text"},
      {"section beyond SizeOfImage",
       [](auto& b, auto& l) { Set32(b, l.section_table + 12, 0x100000); }, "beyond SizeOfImage"},
      {"entry point outside the image",
       [](auto& b, auto& l) { Set32(b, l.optional_header + 16, 0x100000); }, "entry point"},
      {"file cut in the middle", [](auto& b, auto&) { b.resize(b.size() / 2); }, "past the end"},
      {"unknown relocation kind (HIGH)",
       [](auto& b, auto& l) {
         const uint32_t table = Get32(b, l.relocation_directory);
         b[table + 9] = static_cast<uint8_t>((b[table + 9] & 0x0F) | 0x10);
       },
       "unsupported base relocation type 1"},
      {"relocation block of odd size",
       [](auto& b, auto& l) { Set32(b, Get32(b, l.relocation_directory) + 4, 9); }, "has size 9"},
      {"relocation block larger than the table",
       [](auto& b, auto& l) { Set32(b, Get32(b, l.relocation_directory) + 4, 0x1000); },
       "has size 4096"},
      {"relocation patching past the image",
       [](auto& b, auto& l) { Set32(b, Get32(b, l.relocation_directory), 0x100000); },
       "patches past the end"},
      {"relocation table outside the file",
       [](auto& b, auto& l) { Set32(b, l.relocation_directory, 0x100000); }, "not in the file"},
  };
  const Layout layout = LayoutOf(bytes_);
  for (const Case& c : cases) {
    std::vector<uint8_t> damaged = bytes_;
    c.damage(damaged, layout);
    try {
      (void)PeImage::Parse(damaged);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const PeFormatError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.what << ": \"" << e.what() << "\" does not mention \"" << c.message << "\"";
    }
  }
}

TEST_F(PeImageTest, AcceptsAbsolutePaddingAndDir64AsKnownKinds) {
  const Layout layout = LayoutOf(bytes_);
  const uint32_t table = Get32(bytes_, layout.relocation_directory);
  const PeImage original = PeImage::Parse(bytes_);
  std::vector<uint8_t> b = bytes_;
  // First entry becomes padding, second a 64-bit relocation at the same place.
  b[table + 9] = static_cast<uint8_t>(b[table + 9] & 0x0F);
  b[table + 11] = static_cast<uint8_t>((b[table + 11] & 0x0F) | 0xA0);
  const PeImage changed = PeImage::Parse(b);
  EXPECT_EQ(changed.absolute_relocations(), original.absolute_relocations() + 1);
  ASSERT_EQ(changed.relocations().size(), original.relocations().size() - 1);
  EXPECT_EQ(changed.relocations()[0].type, RelocationType::kDir64);
  EXPECT_EQ(changed.relocations()[0].rva, original.relocations()[1].rva);
}

// A PEI core runs a PEIM dispatched before memory where it lies in the
// volume, so an image whose memory is not its file bytes would write over
// what follows it (a helper PEIM once zeroed the module's file that way).
TEST_F(PeImageTest, InPlaceFaultNamesWhatWouldNotRunWhereItLies) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&, const Layout&)> change;
    const char* message;  // nullptr: runs in place
  };
  constexpr size_t kSectionEntry = 40;
  constexpr size_t kVirtualSize = 8;
  constexpr size_t kRawOffset = 20;
  constexpr size_t kSizeOfImage = 56;
  const size_t reloc = 1;  // .text, then .reloc
  const std::vector<Case> cases = {
      {"as built", [](auto&, auto&) {}, nullptr},
      {"uninitialised tail",
       [&](auto& b, auto& l) {
         const size_t entry = l.section_table + reloc * kSectionEntry;
         Set32(b, entry + kVirtualSize, Get32(b, entry + kVirtualSize) + 0x20);
         Set32(b, l.optional_header + kSizeOfImage,
               Get32(b, l.optional_header + kSizeOfImage) + 0x20);
       },
       "would be zeroed"},
      {"section away from its RVA",
       [](auto& b, auto& l) {  // .text, 8 bytes on in the file
         Set32(b, l.section_table + kRawOffset, Get32(b, l.section_table + kRawOffset) + 8);
       },
       "lies at file offset"},
      {"SizeOfImage past the file",
       [](auto& b, auto& l) {
         Set32(b, l.optional_header + kSizeOfImage, Get32(b, l.optional_header + kSizeOfImage) + 8);
       },
       "reaches past the file"},
  };
  const Layout layout = LayoutOf(bytes_);
  for (const Case& c : cases) {
    std::vector<uint8_t> changed = bytes_;
    c.change(changed, layout);
    const std::optional<std::string> fault = InPlaceFault(PeImage::Parse(changed));
    if (c.message == nullptr) {
      EXPECT_FALSE(fault.has_value()) << c.what << ": " << *fault;
    } else if (!fault) {
      ADD_FAILURE() << c.what << ": taken as fit to run in place";
    } else {
      EXPECT_NE(fault->find(c.message), std::string::npos) << c.what << ": " << *fault;
    }
  }
}

}  // namespace
}  // namespace clockramp::pe
