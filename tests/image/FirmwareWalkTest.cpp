// The walk over a whole firmware image: volumes found through files,
// GUID-defined sections, LZMA streams and volume image sections, where each
// lies, and everything that does not parse refused with a FirmwareFormatError.
// Also the LZMA layer on its own and the section forms the walk reads.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <sstream>

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

// Damage to the sample image, each with where the walk finds it (a path
// from the root) and what it says.
struct DamageCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> damage;
  NodePath at;
  const char* message;
};

std::vector<DamageCase> DamageCases(const Sample& sample) {
  const Node root = WalkImage(sample.image);
  const Node& file = At(root, {0, 0});
  const uint64_t at = file.offset;
  const uint64_t data = at + file.header_size;
  const uint64_t data_size = file.size - file.header_size;
  const uint64_t section = at + file.children[0].offset;
  const uint64_t stream = section + file.children[0].header_size;
  // Damage inside the file's data, with its data checksum made right again,
  // so that the walk gets as far as the damage.
  const auto inside = [=](const std::function<void(std::vector<uint8_t>&)>& damage) {
    return [=](std::vector<uint8_t>& b) {
      damage(b);
      b[at + 17] = static_cast<uint8_t>(-Sum8(std::span(b).subspan(data, data_size)));
    };
  };
  return {
      {"a volume header checksum",
       [](std::vector<uint8_t>& b) { b[50] ^= 1; },
       {0},
       "invalid header checksum"},
      {"a volume longer than the image",
       [](std::vector<uint8_t>& b) { b[34] = 0x7F; },
       {0},
       "has length"},
      {"a file header checksum",
       [=](std::vector<uint8_t>& b) { b[at + 16] ^= 1; },
       {0, 0},
       "invalid header checksum"},
      {"a file data checksum",
       [=](std::vector<uint8_t>& b) { b[at + 17] ^= 1; },
       {0, 0},
       "invalid data checksum"},
      {"a file running past its volume",
       [=](std::vector<uint8_t>& b) {
         // A valid header checksum over a size past the volume's end.
         const uint8_t old = b[at + 22];
         b[at + 22] = 0x7F;
         b[at + 16] = static_cast<uint8_t>(b[at + 16] - (0x7F - old));
       },
       {0},
       "has size"},
      {"a section longer than its file",
       inside([=](std::vector<uint8_t>& b) { b[section + 2] = 0x40; }),
       {0, 0},
       "has size"},
      {"a damaged LZMA stream",
       inside([=](std::vector<uint8_t>& b) {
         for (uint64_t i = stream + 13; i < stream + 64; ++i) {
           b[i] ^= 0x5A;
         }
       }),
       {0, 0, 0},
       "LZMA"},
  };
}

TEST(FirmwareWalk, WhatDoesNotParseIsRefused) {
  const Sample sample = BuildSample();
  std::vector<uint8_t> erased(sample.image.size(), 0xFF);
  EXPECT_THROW(WalkImage(erased), FirmwareFormatError);
  for (const DamageCase& c : DamageCases(sample)) {
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

TEST(FirmwareWalk, GoingOnItMarksTheDamageWhereItIsAndReadsTheRest) {
  const Sample sample = BuildSample();
  for (const DamageCase& c : DamageCases(sample)) {
    std::vector<uint8_t> image = sample.image;
    c.damage(image);
    const Node root = WalkImage(image, {.keep_going = true});
    EXPECT_EQ(CountDamage(root), 1U) << c.name;
    const Node& damaged = At(root, c.at);
    ASSERT_EQ(damaged.damage.size(), 1U) << c.name;
    EXPECT_NE(damaged.damage[0].find(c.message), std::string::npos)
        << c.name << ": " << damaged.damage[0];
    // The SEC volume after the damaged main volume is read all the same.
    ASSERT_EQ(root.children.size(), 2U) << c.name;
    EXPECT_EQ(root.children[1].volume_name, testing::kSecVolumeName) << c.name;
    std::ostringstream listing;
    PrintTree(listing, root);
    EXPECT_NE(listing.str().find(damaged.Describe() + ", " + damaged.damage[0]), std::string::npos)
        << listing.str();
  }
}

TEST(FirmwareWalk, HostileImagesMeetItsLimits) {
  const Sample sample = BuildSample();
  const uint64_t decompressed = At(WalkImage(sample.image), {0, 0, 0}).decoded.size();
  std::vector<uint8_t> sections;
  for (int i = 0; i < 2000; ++i) {
    const std::vector<uint8_t> empty = BuildSection(kSectionRaw, {});
    sections.insert(sections.end(), empty.begin(), empty.end());
  }
  const std::vector<uint8_t> crowded = BuildFirmwareVolume(
      {BuildFile(testing::kOtherPeimName, kFileTypeFreeform, kFfsAttribChecksum, sections)});
  // Three nested volumes: the innermost lies 1 + 3 * 3 levels below the image.
  const std::vector<uint8_t> three = testing::NestedVolumes(3);
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    WalkOptions options;
    const char* message;  // null: walked
  };
  const std::vector<Case> cases = {
      // Deep enough to overflow the stack of a walk without a bound.
      {"20,000 nested volumes", testing::NestedVolumes(20000), {}, "nesting deeper than 64 levels"},
      {"as deep as allowed", three, {.max_depth = 10}, nullptr},
      {"a level deeper", three, {.max_depth = 9}, "nesting deeper than 9 levels"},
      {"4 GiB declared", testing::LzmaClaim(uint64_t{1} << 32), {}, "declares 4294967296 bytes"},
      {"decompressed to the limit", sample.image, {.max_decompressed = decompressed}, nullptr},
      {"a byte past it", sample.image, {.max_decompressed = decompressed - 1}, "limit of"},
      {"as many nodes as allowed", crowded, {.max_nodes = 2002}, nullptr},
      {"one too many", crowded, {.max_nodes = 2001}, "more than 2001 volumes"},
  };
  for (const Case& c : cases) {
    for (const bool keep_going : {false, true}) {
      WalkOptions options = c.options;
      options.keep_going = keep_going;
      std::string damage;
      try {
        const Node root = WalkImage(c.image, options);
        damage = CountDamage(root) == 0 ? "" : "damaged";
        std::function<void(const Node&)> find = [&](const Node& n) {
          for (const std::string& d : n.damage) {
            damage = d;
          }
          for (const Node& child : n.children) {
            find(child);
          }
        };
        find(root);
      } catch (const FirmwareFormatError& e) {
        damage = e.what();
      }
      if (c.message == nullptr) {
        EXPECT_EQ(damage, "") << c.name;
      } else {
        EXPECT_NE(damage.find(c.message), std::string::npos) << c.name << ": " << damage;
      }
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
  // The declared size is held against the limit before anything is decompressed.
  EXPECT_EQ(LzmaDecompress(stream, data.size()), data);
  EXPECT_THROW(LzmaDecompress(stream, data.size() - 1), LzmaError);
}

TEST(Lzma, ProgressCountsUncompressedBytesToTheEnd) {
  std::vector<uint8_t> data(3 << 20);
  std::iota(data.begin(), data.end(), 0);
  std::vector<uint64_t> compressing;
  std::vector<uint64_t> decompressing;
  const auto recorder = [&data](std::vector<uint64_t>& seen) {
    return [&data, &seen](uint64_t done, uint64_t total) {
      EXPECT_EQ(total, data.size());
      seen.push_back(done);
    };
  };
  const std::vector<uint8_t> stream = LzmaCompress(data, {}, recorder(compressing));
  EXPECT_EQ(LzmaDecompress(stream, data.size(), recorder(decompressing)), data);
  for (const std::vector<uint64_t>* seen : {&compressing, &decompressing}) {
    ASSERT_GE(seen->size(), 3U);  // a step a MiB
    EXPECT_TRUE(std::is_sorted(seen->begin(), seen->end()));
    EXPECT_EQ(seen->back(), data.size());
  }
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
