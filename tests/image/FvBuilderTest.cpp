// The firmware file and volume layouts, read back byte by byte.
#include <gtest/gtest.h>

#include <numeric>

#include "TestTools.h"
#include "image/FvBuilder.h"

namespace clockramp::fv {
namespace {

uint32_t Get24(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return Get24(b, at) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

struct SectionView {
  uint8_t type;
  uint32_t offset;  // of the header, in the file
  uint32_t size;
};

// Walks the sections of a file as a parser does: each at the next 4-byte boundary.
std::vector<SectionView> Sections(const std::vector<uint8_t>& file) {
  std::vector<SectionView> sections;
  uint32_t at = kFfsFileHeaderSize;
  const uint32_t end = Get24(file, 20);
  while (at < end) {
    const uint32_t size = Get24(file, at);
    if (size < kSectionHeaderSize || at + size > end) {
      ADD_FAILURE() << "bad section size " << size << " at " << at;
      break;
    }
    sections.push_back({file[at + 3], at, size});
    at = (at + size + 3) & ~3U;
  }
  return sections;
}

TEST(Guid, ParsesPrintsAndLaysOutLikeThePiStructure) {
  const Guid g = Guid::Parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
  EXPECT_EQ(g, kFirmwareFileSystem2Guid);
  EXPECT_EQ(g.ToString(), "8C8CE578-8A3D-4F1C-9935-896185C32DD3");
  const std::array<uint8_t, 16> expected = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                                            0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
  EXPECT_EQ(g.Bytes(), expected);
  EXPECT_EQ(Guid::Parse("0444a79f-3154-4b14-9d8e-73cfd19cdf05"), kClockRampFileGuid);
  for (const char* bad :
       {"", "8C8CE578-8A3D-4F1C-9935-896185C32DD", "8C8CE578-8A3D-4F1C-9935_896185C32DD3",
        "8C8CE578-8A3D-4F1C-9935-896185C32DDG", "{8C8CE578-8A3D-4F1C-9935-896185C32D}"}) {
    EXPECT_THROW(Guid::Parse(bad), std::invalid_argument) << bad;
  }
}

TEST(FvBuilder, DepexRequiresThePcdPpi) {
  const std::vector<uint8_t> depex = BuildDepexRequiring(kPcdPpiGuid);
  ASSERT_EQ(depex.size(), 18U);
  EXPECT_EQ(depex.front(), kDepexPush);
  EXPECT_EQ(depex.back(), kDepexEnd);
  const std::array<uint8_t, 16> pcd = {0x58, 0x1C, 0xE8, 0x06, 0xD7, 0x4A, 0xBC, 0x44,
                                       0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80};
  EXPECT_TRUE(std::equal(pcd.begin(), pcd.end(), depex.begin() + 1));
}

TEST(FvBuilder, PeimFileHeaderChecksumsAndState) {
  const std::vector<uint8_t> pe32 = Pattern(1001, 7);
  const std::vector<uint8_t> file = BuildPeimFile(pe32);
  EXPECT_EQ(Get24(file, 20), file.size());
  const std::array<uint8_t, 16> name = kClockRampFileGuid.Bytes();
  EXPECT_TRUE(std::equal(name.begin(), name.end(), file.begin()));
  EXPECT_EQ(file[18], kFileTypePeim);
  EXPECT_EQ(file[19], kFfsAttribChecksum);
  // Header: sums to zero with the file checksum and the state taken as zero.
  std::vector<uint8_t> header(file.begin(), file.begin() + kFfsFileHeaderSize);
  header[17] = 0;
  header[23] = 0;
  EXPECT_EQ(Sum8(header), 0);
  // Data: sums to zero with the file checksum.
  std::vector<uint8_t> data(file.begin() + kFfsFileHeaderSize, file.end());
  data.push_back(file[17]);
  EXPECT_EQ(Sum8(data), 0);
  // Constructed, header valid, data valid, inverted for erase polarity 1.
  EXPECT_EQ(file[23], 0xF8);
}

TEST(FvBuilder, PeimFileSectionsAndBodyAlignment) {
  struct Case {
    uint32_t alignment;
    size_t image_size;
    std::vector<uint8_t> types;
  };
  const std::vector<Case> cases = {
      {8, 2024, {kSectionPeiDepex, kSectionRaw, kSectionPe32, kSectionUserInterface}},
      {8, 2027, {kSectionPeiDepex, kSectionRaw, kSectionPe32, kSectionUserInterface}},
      {4, 2024, {kSectionPeiDepex, kSectionPe32, kSectionUserInterface}},
      {1, 3, {kSectionPeiDepex, kSectionPe32, kSectionUserInterface}},
      {64, 2560, {kSectionPeiDepex, kSectionRaw, kSectionPe32, kSectionUserInterface}},
      {4096, 8192, {kSectionPeiDepex, kSectionRaw, kSectionPe32, kSectionUserInterface}},
  };
  for (const Case& c : cases) {
    PeimOptions options;
    options.body_alignment = c.alignment;
    const std::vector<uint8_t> pe32 = Pattern(c.image_size, 3);
    const std::vector<uint8_t> file = BuildPeimFile(pe32, options);
    const std::vector<SectionView> sections = Sections(file);
    std::vector<uint8_t> types;
    types.reserve(sections.size());
    for (const SectionView& s : sections) {
      types.push_back(s.type);
    }
    ASSERT_EQ(types, c.types) << "alignment " << c.alignment << ", " << c.image_size << " bytes";
    // The last section ends the file.
    EXPECT_EQ(sections.back().offset + sections.back().size, file.size());
    const SectionView& pe = sections[sections.size() - 2];
    const uint32_t body = pe.offset + kSectionHeaderSize;
    EXPECT_EQ(body, ImageBodyOffset(options));
    // Aligned from the file's data, which the file declares aligned enough.
    EXPECT_EQ((body - kFfsFileHeaderSize) % c.alignment, 0U);
    EXPECT_EQ(FileDataAlignment(file[19]), c.alignment > 8 ? std::max(c.alignment, 128U) : 1U);
    EXPECT_EQ(pe.size, c.image_size + kSectionHeaderSize);
    EXPECT_TRUE(std::equal(pe32.begin(), pe32.end(), file.begin() + body));
    // The name, in UTF-16 with its terminator.
    const SectionView& ui = sections.back();
    const std::vector<uint8_t> expected = Utf16Name("ClockRamp");
    ASSERT_EQ(ui.size, kSectionHeaderSize + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + ui.offset + 4));
  }
  for (const uint32_t bad : {0U, 24U, 1U << 25}) {
    PeimOptions odd;
    odd.body_alignment = bad;
    EXPECT_THROW(BuildPeimFile(Pattern(8, 0), odd), std::invalid_argument) << bad;
  }
  EXPECT_THROW(BuildSection(kSectionRaw, std::vector<uint8_t>(0xFFFFFC)), std::invalid_argument);
}

TEST(FvBuilder, DataAlignmentAttributesDeclareTheNextAlignmentAFileCanHave) {
  struct Case {
    uint32_t alignment;
    uint8_t attributes;
    uint32_t declared;
  };
  for (const Case& c : std::vector<Case>{{1, 0x00, 1},
                                         {8, 0x00, 1},
                                         {16, 0x08, 16},
                                         {32, 0x10, 128},
                                         {128, 0x10, 128},
                                         {256, 0x18, 512},
                                         {1024, 0x20, 1024},
                                         {2048, 0x28, 4096},
                                         {0x10000, 0x38, 0x10000},
                                         {0x20000, 0x02, 0x20000},
                                         {1U << 24, 0x3A, 1U << 24}}) {
    EXPECT_EQ(DataAlignmentAttributes(c.alignment), c.attributes) << c.alignment;
    EXPECT_EQ(FileDataAlignment(c.attributes | kFfsAttribChecksum), c.declared) << c.alignment;
  }
  EXPECT_THROW(DataAlignmentAttributes(48), std::invalid_argument);
  EXPECT_THROW(DataAlignmentAttributes(1U << 25), std::invalid_argument);
}

TEST(FvBuilder, AVolumePutsEachFilesDataAtItsAlignment) {
  std::vector<std::vector<uint8_t>> files;
  for (const uint32_t alignment : {8U, 64U, 4096U, 16U}) {
    PeimOptions options;
    options.body_alignment = alignment;
    files.push_back(BuildPeimFile(Pattern(100 + alignment % 7, 1), options));
  }
  const std::vector<uint8_t> fv = BuildFirmwareVolume(files);
  // Raised from 8 to the largest file's alignment.
  EXPECT_EQ(Get32(fv, 44) & kFvbAlignmentMask, 12U << 16);
  size_t at = fv[48] | (fv[49] << 8);  // the header's length
  for (const std::vector<uint8_t>& file : files) {
    const auto found = std::search(fv.begin() + static_cast<std::ptrdiff_t>(at), fv.end(),
                                   file.begin(), file.end());
    ASSERT_NE(found, fv.end());
    const auto offset = static_cast<size_t>(found - fv.begin());
    EXPECT_EQ(offset % kFileAlignment, 0U);
    EXPECT_EQ((offset + kFfsFileHeaderSize) % FileDataAlignment(file[19]), 0U);
    if (offset != AlignUp(at, kFileAlignment)) {
      // A pad file fills the gap.
      EXPECT_EQ(fv[AlignUp(at, kFileAlignment) + 18], kFileTypePad);
    }
    at = offset + file.size();
  }
}

TEST(FvBuilder, VolumeHeaderBlockMapFilesAndFreeSpace) {
  struct Case {
    std::vector<size_t> file_sizes;
    uint32_t block_size;
    uint32_t blocks;
  };
  const std::vector<Case> cases = {
      {{2104}, 0x1000, 1},
      {{29, 33, 8}, 0x1000, 1},    // each file starts at an 8-byte boundary
      {{0x1000 - 72}, 0x1000, 1},  // exactly one block
      {{0x1000 - 71}, 0x1000, 2},  // one byte more
      {{300}, 64, 6},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<uint8_t>> files;
    for (size_t i = 0; i < c.file_sizes.size(); ++i) {
      files.push_back(Pattern(c.file_sizes[i], static_cast<uint8_t>(i + 1)));
      if (files.back().size() > 19) {
        files.back()[19] = 0;  // the attributes: no data alignment beyond 8
      }
    }
    VolumeOptions options;
    options.block_size = c.block_size;
    const std::vector<uint8_t> fv = BuildFirmwareVolume(files, options);
    ASSERT_EQ(fv.size(), static_cast<size_t>(c.blocks) * c.block_size);
    EXPECT_TRUE(std::all_of(fv.begin(), fv.begin() + 16, [](uint8_t b) { return b == 0; }));
    const std::array<uint8_t, 16> fs = kFirmwareFileSystem2Guid.Bytes();
    EXPECT_TRUE(std::equal(fs.begin(), fs.end(), fv.begin() + 16));
    EXPECT_EQ(Get32(fv, 32), fv.size());
    EXPECT_EQ(Get32(fv, 36), 0U);
    EXPECT_EQ(std::string(fv.begin() + 40, fv.begin() + 44), "_FVH");
    EXPECT_EQ(Get32(fv, 44), kFlashVolumeAttributes);
    const uint32_t header_length = fv[48] | (fv[49] << 8);
    EXPECT_EQ(header_length, 72U);
    EXPECT_EQ(Sum16(std::span(fv).first(header_length)), 0);
    EXPECT_EQ(fv[55], 2);  // revision
    EXPECT_EQ(Get32(fv, 56), c.blocks);
    EXPECT_EQ(Get32(fv, 60), c.block_size);
    EXPECT_EQ(Get32(fv, 64), 0U);  // the block map's zero entry
    EXPECT_EQ(Get32(fv, 68), 0U);
    // Files in order, 8-byte aligned, erased bytes around them.
    std::vector<bool> used(fv.size(), false);
    size_t at = header_length;
    for (const std::vector<uint8_t>& f : files) {
      at = (at + 7) & ~size_t{7};
      EXPECT_TRUE(std::equal(f.begin(), f.end(), fv.begin() + static_cast<std::ptrdiff_t>(at)));
      std::fill(used.begin() + static_cast<std::ptrdiff_t>(at),
                used.begin() + static_cast<std::ptrdiff_t>(at + f.size()), true);
      at += f.size();
    }
    for (size_t i = header_length; i < fv.size(); ++i) {
      if (!used[i]) {
        ASSERT_EQ(fv[i], 0xFF) << "free byte at " << i;
      }
    }
  }
  VolumeOptions bad;
  bad.block_size = 12;
  EXPECT_THROW(BuildFirmwareVolume({}, bad), std::invalid_argument);
}

TEST(FvBuilder, TheBuiltFilesHoldTheImage) {
  const std::vector<uint8_t> efi = clockramp::testing::ReadBytes(CLOCKRAMP_TEST_IMAGE);
  const std::vector<uint8_t> ffs = clockramp::testing::ReadBytes(CLOCKRAMP_TEST_FFS);
  const std::vector<uint8_t> fv = clockramp::testing::ReadBytes(CLOCKRAMP_TEST_FV);
  EXPECT_EQ(ffs, BuildPeimFile(efi));
  EXPECT_EQ(fv, BuildFirmwareVolume({ffs}));
  // In the volume the PE32 body starts 8-byte aligned, as the image's sections need.
  const size_t body = 72 + ImageBodyOffset();
  EXPECT_EQ(body % 8, 0U);
  EXPECT_TRUE(std::equal(efi.begin(), efi.end(), fv.begin() + static_cast<std::ptrdiff_t>(body)));
}

}  // namespace
}  // namespace clockramp::fv
