// The walk over a whole firmware image: volumes found through files,
// GUID-defined sections, LZMA streams and volume image sections, where each
// lies, and everything that does not parse refused with a FirmwareFormatError.
// Also the LZMA layer on its own and the section forms the walk reads.
#include <gtest/gtest.h>

#include <numeric>

#include "BuildPaths.h"
#include "SampleFirmware.h"
#include "image/FirmwareWalk.h"
#include "image/Lzma.h"
#include "image/PeimInsert.h"

namespace clockramp::fv {
namespace {

using clockramp::testing::BuildSample;
using clockramp::testing::Sample;

const Node& VolumeNamed(const Node& root, const Guid& name, NodePath* path = nullptr) {
  for (const NodePath& p : Volumes(root)) {
    if (At(root, p).volume_name == name) {
      if (path != nullptr) {
        *path = p;
      }
      return At(root, p);
    }
  }
  throw std::runtime_error("no volume " + name.ToString());
}

TEST(FirmwareWalk, FindsEveryVolumeThroughTheLzmaSection) {
  const Sample sample = BuildSample();
  const Node root = WalkImage(sample.image);
  ASSERT_EQ(Volumes(root).size(), 4U);
  ASSERT_EQ(root.children.size(), 2U);  // the main and the SEC volume

  NodePath pei_path;
  NodePath dxe_path;
  const Node& pei = VolumeNamed(root, testing::kPeiVolumeName, &pei_path);
  VolumeNamed(root, testing::kDxeVolumeName, &dxe_path);
  // Main volume > volume-image file > LZMA section > volume image section > volume.
  ASSERT_EQ(pei_path.size(), 5U);
  const Node& lzma = At(root, {0, 0, 0});
  EXPECT_EQ(lzma.guid, kLzmaSectionGuid);
  EXPECT_TRUE(lzma.compressed);
  EXPECT_EQ(NodeBytes(root, sample.image, pei_path), sample.pei_volume);
  EXPECT_EQ(NodeBytes(root, sample.image, dxe_path), sample.dxe_volume);

  // What lies in flash as it is has an offset in the image; what was decompressed has none.
  EXPECT_EQ(ImageOffset(root, {0}), std::optional<uint64_t>(0));
  EXPECT_EQ(ImageOffset(root, {1}), std::optional<uint64_t>(sample.main_length));
  EXPECT_EQ(ImageOffset(root, pei_path), std::nullopt);

  // The PEI volume's files, and where its free space starts.
  ASSERT_EQ(pei.children.size(), 4U);
  EXPECT_EQ(pei.children[0].guid, kPeiAprioriFileGuid);
  EXPECT_EQ(pei.children[1].type, kFileTypePad);
  EXPECT_EQ(pei.children[2].type, kFileTypePeiCore);
  const Node& last = pei.children[3];
  EXPECT_EQ(pei.free_offset, AlignUp(last.offset + last.size, kFileAlignment));
  EXPECT_EQ(ChooseVolume(root, std::nullopt), pei_path);
}

TEST(FirmwareWalk, UncompressedVolumesLieWhereTheyAreStored) {
  const Sample sample = BuildSample({.compressed = false});
  const Node root = WalkImage(sample.image);
  NodePath pei_path;
  VolumeNamed(root, testing::kPeiVolumeName, &pei_path);
  const std::optional<uint64_t> offset = ImageOffset(root, pei_path);
  ASSERT_TRUE(offset.has_value());
  const auto at = static_cast<std::ptrdiff_t>(*offset);
  EXPECT_TRUE(
      std::equal(sample.pei_volume.begin(), sample.pei_volume.end(), sample.image.begin() + at));
}

TEST(FirmwareWalk, WhatDoesNotParseIsRefused) {
  const Sample sample = BuildSample();
  const Node root = WalkImage(sample.image);
  const Node& file = At(root, {0, 0});
  const uint64_t section = file.offset + file.children[0].offset;
  const uint64_t stream = section + file.children[0].header_size;
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no volume at all", [](std::vector<uint8_t>& b) { std::fill(b.begin(), b.end(), 0xFF); },
       "no firmware volume"},
      {"a volume header checksum", [](std::vector<uint8_t>& b) { b[50] ^= 1; }, "header checksum"},
      {"a volume longer than the image", [](std::vector<uint8_t>& b) { b[34] = 0x7F; },
       "has length"},
      {"a file header checksum", [&](std::vector<uint8_t>& b) { b[file.offset + 16] ^= 1; },
       "bad header checksum"},
      {"a file running past its volume",
       [&](std::vector<uint8_t>& b) {
         // A valid header checksum over a size past the volume's end.
         const uint8_t old = b[file.offset + 22];
         b[file.offset + 22] = 0x7F;
         b[file.offset + 16] = static_cast<uint8_t>(b[file.offset + 16] - (0x7F - old));
       },
       "has size"},
      {"a section longer than its file", [&](std::vector<uint8_t>& b) { b[section + 2] = 0x40; },
       "has size"},
      {"a damaged LZMA stream",
       [&](std::vector<uint8_t>& b) {
         for (uint64_t i = stream + 13; i < stream + 64; ++i) {
           b[i] ^= 0x5A;
         }
       },
       "LZMA"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image = sample.image;
    c.damage(image);
    try {
      WalkImage(image);
      ADD_FAILURE() << c.name << ": parsed";
    } catch (const FirmwareFormatError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.name << ": " << e.what();
    }
  }
}

TEST(FirmwareWalk, ErasePolarityDecidesFreeSpaceAndState) {
  // Flash that erases to 0: free space is zeros and state bits are stored as they are.
  for (const bool polarity : {true, false}) {
    VolumeOptions options;
    options.attributes =
        polarity ? kFlashVolumeAttributes : kFlashVolumeAttributes & ~kFvbErasePolarity;
    const std::vector<uint8_t> core =
        BuildFile(Guid::Parse("11111111-2222-3333-4444-5555555555C0"), kFileTypePeiCore,
                  kFfsAttribChecksum, BuildSection(kSectionRaw, {}), polarity);
    const std::vector<uint8_t> volume =
        BuildFirmwareVolume({core, BuildPadFile(0x30, polarity)}, options);
    const Node root = WalkImage(volume);
    const Node& v = root.children.at(0);
    ASSERT_EQ(v.children.size(), 2U) << "polarity " << polarity;
    EXPECT_EQ(v.children[0].state, kFileWrittenState);
    EXPECT_EQ(v.children[1].state, kFileWrittenState);
    EXPECT_EQ(v.free_offset, 72 + 32 + 0x30);

    InsertOptions insert;
    insert.flash_base = 0xFFFF0000;
    const InsertResult result =
        InsertPeim(volume, pe::PeImage::ReadFile(CLOCKRAMP_TEST_IMAGE), insert);
    const Node after = WalkImage(result.image);
    ASSERT_EQ(after.children[0].children.size(), 3U);
    EXPECT_EQ(after.children[0].children[2].state, kFileWrittenState);
    EXPECT_EQ(result.image.back(), polarity ? 0xFF : 0x00);
  }
}

TEST(Lzma, RoundTripWithTheSizeInTheHeader) {
  std::vector<uint8_t> data(100000);
  std::iota(data.begin(), data.end(), 0);
  LzmaHeader like;
  like.dictionary_size = 1U << 20;
  const std::vector<uint8_t> stream = LzmaCompress(data, like);
  const LzmaHeader header = ReadLzmaHeader(stream);
  EXPECT_EQ(header.properties, 0x5D);
  EXPECT_EQ(header.dictionary_size, 1U << 20);
  EXPECT_EQ(header.uncompressed_size, data.size());
  EXPECT_LT(stream.size(), data.size() / 10);
  EXPECT_EQ(LzmaDecompress(stream), data);

  std::vector<uint8_t> short_size = stream;
  short_size[5] = static_cast<uint8_t>(short_size[5] + 1);  // one byte more than the stream holds
  EXPECT_THROW(LzmaDecompress(short_size), LzmaError);
  EXPECT_THROW(LzmaDecompress(std::span(stream).first(12)), LzmaError);
  EXPECT_THROW(LzmaDecompress(std::span(stream).first(stream.size() / 2)), LzmaError);
  std::vector<uint8_t> unknown = stream;
  std::fill(unknown.begin() + 5, unknown.begin() + 13, 0xFF);
  EXPECT_THROW(LzmaDecompress(unknown), LzmaError);
}

TEST(SectionForms, ExtendedSizeAndGuidDefinedHeaders) {
  struct Case {
    size_t body;
    uint32_t common;  // header size before the GUID-defined fields
  };
  for (const Case c :
       {Case{100, kSectionHeaderSize}, Case{kMaxStandardSize, kLargeSectionHeaderSize}}) {
    const std::vector<uint8_t> section =
        BuildGuidDefinedSection(kLzmaSectionGuid, 1, std::vector<uint8_t>(c.body, 7));
    const uint32_t size24 = section[0] | (section[1] << 8) | (section[2] << 16);
    EXPECT_EQ(section[3], kSectionGuidDefined);
    if (c.common == kSectionHeaderSize) {
      EXPECT_EQ(size24, section.size());
    } else {
      EXPECT_EQ(size24, kMaxStandardSize);
      const uint32_t size32 = section[4] | (section[5] << 8) | (section[6] << 16) |
                              (static_cast<uint32_t>(section[7]) << 24);
      EXPECT_EQ(size32, section.size());
    }
    const uint32_t data_offset = section[c.common + 16] | (section[c.common + 17] << 8);
    EXPECT_EQ(data_offset, c.common + 20);
    EXPECT_EQ(section.size(), data_offset + c.body);
    EXPECT_EQ(section[c.common + 18], 1);
  }
}

}  // namespace
}  // namespace clockramp::fv
