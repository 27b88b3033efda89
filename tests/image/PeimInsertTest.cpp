// Inserting the PEIM into a firmware image: the file lands in the PEI
// volume's free space with the image rebased for where it runs, every other
// byte stays as it was, the containers on the way up are consistent again,
// --apriori and --replace do what they say, and each refusal names its cause
// (from the command line: FvToolTest.cpp).
#include <gtest/gtest.h>

#include "SampleFirmware.h"
#include "image/FirmwareEdit.h"
#include "image/FirmwareWalk.h"
#include "image/Lzma.h"
#include "image/PeimInsert.h"

namespace clockramp::fv {
namespace {

using clockramp::testing::BuildSample;
using clockramp::testing::Sample;

constexpr uint64_t kRunAddress = 0x820000;

const pe::PeImage& Image() {
  static const pe::PeImage image = pe::PeImage::ReadFile(CLOCKRAMP_TEST_IMAGE);
  return image;
}

InsertOptions RunAt(uint64_t address) {
  InsertOptions options;
  options.run_address = address;
  return options;
}

NodePath PeiPath(const Node& root) { return ChooseVolume(root, std::nullopt); }

std::vector<uint8_t> PeiVolume(const std::vector<uint8_t>& image) {
  const Node root = WalkImage(image);
  return NodeBytes(root, image, PeiPath(root));
}

// Live files of a volume with a name.
std::vector<const Node*> FilesNamed(const Node& volume, const Guid& name) {
  std::vector<const Node*> found;
  for (const Node& f : volume.children) {
    if (f.guid == name && (f.state & kFileDeleted) == 0) {
      found.push_back(&f);
    }
  }
  return found;
}

// Every file on the way has data that sums to zero with its checksum.
void ExpectFileChecksums(const Node& root, const std::vector<uint8_t>& image,
                         const NodePath& path) {
  NodePath prefix;
  for (size_t i : path) {
    prefix.push_back(i);
    const Node& node = At(root, prefix);
    if (node.kind == NodeKind::kFile && (node.attributes & kFfsAttribChecksum) != 0) {
      const std::vector<uint8_t> bytes = NodeBytes(root, image, prefix);
      EXPECT_EQ(Sum8(std::span(bytes).subspan(node.header_size)), static_cast<uint8_t>(-bytes[17]))
          << node.Describe();
    }
  }
}

TEST(PeimInsert, LandsInTheCompressedPeiVolumeRebasedForItsRunAddress) {
  const Sample sample = BuildSample();
  const InsertResult result = InsertPeim(sample.image, Image(), RunAt(kRunAddress));
  ASSERT_EQ(result.image.size(), sample.image.size());

  const Node root = WalkImage(result.image);
  const NodePath pei_path = PeiPath(root);
  const Node& pei = At(root, pei_path);
  const std::vector<const Node*> ours = FilesNamed(pei, kClockRampFileGuid);
  ASSERT_EQ(ours.size(), 1U);
  EXPECT_EQ(ours[0]->offset, result.file_offset);
  EXPECT_EQ(ours[0]->type, kFileTypePeim);
  // The file went to the start of the free space; the image body is where it was rebased for.
  const Node before = WalkImage(sample.image);
  EXPECT_EQ(result.file_offset, At(before, PeiPath(before)).free_offset);
  EXPECT_EQ(result.image_base, kRunAddress + result.file_offset + ImageBodyOffset());
  EXPECT_EQ(ImageBodyOffset(), 56U);
  const std::vector<uint8_t> volume = NodeBytes(root, result.image, pei_path);
  const auto body = static_cast<std::ptrdiff_t>(result.file_offset + ImageBodyOffset());
  EXPECT_TRUE(std::equal(result.rebased.begin(), result.rebased.end(), volume.begin() + body));
  EXPECT_EQ(pe::PeImage::Parse(result.rebased).headers().image_base, result.image_base);
  EXPECT_EQ(result.image_base % Image().headers().section_alignment, 0U);

  // The PEI volume changed only where the file went; the DXE volume and the
  // SEC volume not at all; the LZMA header gives the stream's new size.
  for (size_t i = 0; i < volume.size(); ++i) {
    if (i < result.file_offset || i >= result.file_offset + ours[0]->size) {
      ASSERT_EQ(volume[i], sample.pei_volume[i]) << "PEI volume offset " << i;
    }
  }
  const Node& lzma = At(root, {0, 0, 0});
  EXPECT_EQ(NodeBytes(root, result.image, {0, 0, 0, 2, 0}), sample.dxe_volume);
  EXPECT_TRUE(std::equal(sample.image.begin() + sample.main_length, sample.image.end(),
                         result.image.begin() + sample.main_length));
  const std::vector<uint8_t> section = NodeBytes(root, result.image, {0, 0, 0});
  EXPECT_EQ(ReadLzmaHeader(std::span(section).subspan(lzma.header_size)).uncompressed_size,
            lzma.decoded.size());
  ExpectFileChecksums(root, result.image, pei_path);
  ExpectFileChecksums(root, result.image, {0, 0});
  // The main volume's header and everything after the grown or shrunk file is as before.
  EXPECT_TRUE(std::equal(sample.image.begin(), sample.image.begin() + 0x60, result.image.begin()));
}

TEST(PeimInsert, RebuildingWithNoChangeGivesTheSameVolumes) {
  const Sample sample = BuildSample();
  const Node root = WalkImage(sample.image);
  const NodePath path = PeiPath(root);
  const std::vector<uint8_t> rebuilt =
      ReplaceNode(root, sample.image, path, NodeBytes(root, sample.image, path));
  const Node again = WalkImage(rebuilt);
  EXPECT_EQ(At(again, {0, 0, 0}).decoded, At(root, {0, 0, 0}).decoded);
  EXPECT_EQ(PeiVolume(rebuilt), sample.pei_volume);
}

TEST(PeimInsert, InPlaceVolumesRunAtTheirFlashAddress) {
  const Sample sample = BuildSample({.compressed = false});
  const Node root = WalkImage(sample.image);
  const uint64_t volume_offset = *ImageOffset(root, PeiPath(root));
  struct Case {
    std::optional<uint64_t> flash_base;
    uint64_t expected_base;
  };
  const uint64_t top = (1ULL << 32) - sample.image.size();
  for (const Case& c : {Case{std::nullopt, top}, Case{0xFF000000, 0xFF000000}}) {
    InsertOptions options;
    options.flash_base = c.flash_base;
    const InsertResult result = InsertPeim(sample.image, Image(), options);
    EXPECT_EQ(result.volume_address, c.expected_base + volume_offset);
    EXPECT_EQ(result.image_base,
              c.expected_base + volume_offset + result.file_offset + ImageBodyOffset());
    // In place, the image lies in the new flash image at its own base.
    const auto at = static_cast<std::ptrdiff_t>(result.image_base - c.expected_base);
    EXPECT_TRUE(
        std::equal(result.rebased.begin(), result.rebased.end(), result.image.begin() + at));
  }
}

TEST(PeimInsert, TheImageIsAlignedWhereItRuns) {
  // A volume 4 bytes off an 8-byte boundary: a raw section moves the body.
  const Sample sample = BuildSample();
  const InsertResult odd = InsertPeim(sample.image, Image(), RunAt(kRunAddress + 4));
  EXPECT_EQ(odd.image_base % 8, 0U);
  EXPECT_EQ(odd.image_base, kRunAddress + 4 + odd.file_offset + 52);
  EXPECT_EQ(PeiVolume(odd.image).at(odd.file_offset + 52), 'M');
  // 2 bytes off cannot be mended: files and sections move by 8 and 4.
  EXPECT_THROW(InsertPeim(sample.image, Image(), RunAt(kRunAddress + 2)), EditRefused);

  // An image that asks for 4 KiB alignment gets a pad file before its file.
  std::vector<uint8_t> bytes = Image().bytes();
  const uint32_t field = (bytes[0x3C] | (bytes[0x3D] << 8)) + 4 + 20 + 32;
  bytes[field] = 0;
  bytes[field + 1] = 0x10;
  const pe::PeImage paged = pe::PeImage::Parse(bytes);
  const InsertResult result = InsertPeim(sample.image, paged, RunAt(kRunAddress));
  EXPECT_EQ(result.image_base % 0x1000, 0U);
  const Node root = WalkImage(result.image);
  const Node& pei = At(root, PeiPath(root));
  const Node& pad = pei.children[pei.children.size() - 2];
  EXPECT_EQ(pad.type, kFileTypePad);
  EXPECT_EQ(AlignUp(pad.offset + pad.size, kFileAlignment), result.file_offset);
  const Node before = WalkImage(sample.image);
  EXPECT_EQ(pad.offset, At(before, PeiPath(before)).free_offset);
}

TEST(PeimInsert, AprioriListsTheFileLast) {
  for (const bool pad : {true, false}) {
    const Sample sample = BuildSample({.pad_after_apriori = pad});
    InsertOptions options = RunAt(kRunAddress);
    options.apriori = true;
    const InsertResult result = InsertPeim(sample.image, Image(), options);
    const Node root = WalkImage(result.image);
    const Node& pei = At(root, PeiPath(root));
    const std::vector<const Node*> apriori = FilesNamed(pei, kPeiAprioriFileGuid);
    ASSERT_EQ(apriori.size(), 1U) << "pad " << pad;
    const std::vector<uint8_t> volume = NodeBytes(root, result.image, PeiPath(root));
    const Node& list = apriori[0]->children.at(0);
    ASSERT_EQ(list.size - list.header_size, 32U);
    const auto last =
        static_cast<std::ptrdiff_t>(apriori[0]->offset + list.offset + list.header_size + 16);
    const std::array<uint8_t, 16> ours = kClockRampFileGuid.Bytes();
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), volume.begin() + last));
    // The PEI core stays where it was either way.
    const Node& core = *std::find_if(pei.children.begin(), pei.children.end(),
                                     [](const Node& f) { return f.type == kFileTypePeiCore; });
    const Node before = WalkImage(sample.image);
    const Node& old_core = At(before, PeiPath(before)).children[pad ? 2 : 1];
    EXPECT_EQ(core.offset, old_core.offset);
    // With a pad file after it, the apriori file grows in place; without, it
    // moves to the free space and a pad file takes its old place.
    EXPECT_EQ(apriori[0]->offset == pei.children[0].offset, pad);
    EXPECT_EQ(pei.children[0].type, pad ? kFileTypeFreeform : kFileTypePad);
  }
}

TEST(PeimInsert, ReplaceTakesTheOldFileOut) {
  const Sample sample = BuildSample();
  const InsertResult first = InsertPeim(sample.image, Image(), RunAt(kRunAddress));
  EXPECT_THROW(InsertPeim(first.image, Image(), RunAt(kRunAddress)), EditRefused);
  InsertOptions options = RunAt(kRunAddress);
  options.replace = true;
  // Last in the volume, the old file's space is used again.
  const InsertResult second = InsertPeim(first.image, Image(), options);
  EXPECT_TRUE(second.replaced);
  EXPECT_EQ(second.file_offset, first.file_offset);
  EXPECT_EQ(PeiVolume(second.image), PeiVolume(first.image));
  // Not last (another file came after it), it becomes a pad file of its size.
  InsertOptions other = RunAt(kRunAddress);
  other.peim.file_guid = testing::kOtherPeimName;
  other.peim.file_guid.data1 ^= 0xFF;
  const InsertResult third = InsertPeim(second.image, Image(), other);
  const InsertResult fourth = InsertPeim(third.image, Image(), options);
  const Node root = WalkImage(fourth.image);
  const Node& pei = At(root, PeiPath(root));
  EXPECT_EQ(FilesNamed(pei, kClockRampFileGuid).size(), 1U);
  EXPECT_GT(fourth.file_offset, third.file_offset);
  const Node& old = *std::find_if(pei.children.begin(), pei.children.end(),
                                  [&](const Node& f) { return f.offset == first.file_offset; });
  EXPECT_EQ(old.type, kFileTypePad);
  EXPECT_EQ(old.size, FilesNamed(pei, kClockRampFileGuid)[0]->size);
}

TEST(PeimInsert, RefusalsNameTheirCause) {
  struct Case {
    const char* name;
    Sample sample;
    InsertOptions options;
    const char* message;
    const pe::PeImage* image = nullptr;  // the module's when null
  };
  InsertOptions named_variables = RunAt(kRunAddress);
  named_variables.volume = testing::kVariableVolumeName;
  InsertOptions unknown = RunAt(kRunAddress);
  unknown.volume = Guid::Parse("11111111-2222-3333-4444-5555555555FF");
  InsertOptions apriori = RunAt(kRunAddress);
  apriori.apriori = true;
  // The module with a 32-byte uninitialised tail on its last section.
  const pe::PeImage uninitialised = [] {
    std::vector<uint8_t> b = Image().bytes();
    auto add32 = [&b](size_t at, uint32_t delta) {
      uint32_t v = 0;
      for (unsigned i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
      }
      v += delta;
      for (unsigned i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
      }
    };
    const size_t pe = b[0x3C] | (b[0x3D] << 8);
    const size_t optional = pe + 24;
    const size_t sections = b[pe + 6] | (b[pe + 7] << 8);
    const size_t last = optional + (b[pe + 20] | (b[pe + 21] << 8)) + 40 * (sections - 1);
    add32(last + 8, 0x20);       // VirtualSize
    add32(optional + 56, 0x20);  // SizeOfImage
    return pe::PeImage::Parse(std::move(b));
  }();
  const Sample once = [] {
    Sample s = BuildSample();
    s.image = InsertPeim(s.image, Image(), RunAt(kRunAddress)).image;
    return s;
  }();
  const std::vector<Case> cases = {
      {"no room", BuildSample({.pei_volume_length = 0x1000, .filler = 0x600}), RunAt(kRunAddress),
       "no room"},
      {"already there", once, RunAt(kRunAddress), "--replace"},
      {"not a file system", BuildSample({.variable_volume = true}), named_variables,
       "not a firmware file system"},
      {"no such volume", BuildSample(), unknown, "no volume is named"},
      {"compressed, no run address", BuildSample(), InsertOptions{}, "--run-address"},
      {"apriori, not in place", BuildSample(), apriori, "runs in place before memory",
       &uninitialised},
  };
  for (const Case& c : cases) {
    try {
      InsertPeim(c.sample.image, c.image != nullptr ? *c.image : Image(), c.options);
      ADD_FAILURE() << c.name << ": inserted";
    } catch (const EditRefused& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace clockramp::fv
