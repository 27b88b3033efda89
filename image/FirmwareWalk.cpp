#include "image/FirmwareWalk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image/Lzma.h"

namespace clockramp::fv {
namespace {

constexpr uint32_t kVolumeSignatureOffset = 40;
constexpr uint32_t kMinVolumeHeader = kFvHeaderFixedSize + 8;  // with the block map's end
constexpr uint32_t kGuidDefinedFields = 20;                    // GUID, data offset, attributes
constexpr uint32_t kCompressionFields = 5;  // uncompressed length, compression type
constexpr uint8_t kNotCompressed = 0;

// Little-endian reads of a span that refuse to go past its end.
class Bytes {
 public:
  Bytes(std::span<const uint8_t> bytes, std::string where)
      : bytes_(bytes), where_(std::move(where)) {}

  void Require(uint64_t at, uint64_t size, const char* what) const {
    if (at > bytes_.size() || size > bytes_.size() - at) {
      throw FirmwareFormatError(std::string(what) + " at " + Hex(at) + " in " + where_ +
                                " runs past its end (" + Hex(bytes_.size()) + " bytes)");
    }
  }
  [[nodiscard]] uint64_t Get(uint64_t at, unsigned width, const char* what) const {
    Require(at, width, what);
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      value |= static_cast<uint64_t>(bytes_[at + i]) << (8 * i);
    }
    return value;
  }
  [[nodiscard]] Guid GuidAt(uint64_t at, const char* what) const {
    Require(at, 16, what);
    return Guid::FromBytes(bytes_.subspan(at, 16));
  }
  [[nodiscard]] std::span<const uint8_t> Sub(uint64_t at, uint64_t size, const char* what) const {
    Require(at, size, what);
    return bytes_.subspan(at, size);
  }
  [[nodiscard]] const std::string& where() const { return where_; }

 private:
  std::span<const uint8_t> bytes_;
  std::string where_;
};

bool HoldsSections(uint8_t file_type) {
  // Freeform through the standalone MM core: everything but raw and pad files.
  return file_type >= kFileTypeFreeform && file_type <= 0x0F;
}

bool AllErased(std::span<const uint8_t> bytes, uint8_t erased) {
  return std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == erased; });
}

// "53h", as firmware tools print checksums.
std::string ChecksumText(unsigned value, int digits) {
  char text[8];
  std::snprintf(text, sizeof text, "%0*Xh", digits, value);
  return text;
}

std::string InvalidChecksum(const char* which, unsigned stored, unsigned should, int digits) {
  return std::string("invalid ") + which + " checksum " + ChecksumText(stored, digits) +
         ", should be " + ChecksumText(should, digits);
}

// One walk: its options, the decompression it has left, the nodes it made.
class Walker {
 public:
  explicit Walker(const WalkOptions& options)
      : options_(options), decompress_left_(options.max_decompressed) {}

  Node Image(std::span<const uint8_t> image);
  // A volume at the start of `bytes`; `usable` says whether its length can
  // be trusted to find what follows it.
  Node Volume(std::span<const uint8_t> bytes, uint64_t offset, unsigned depth, bool& usable);

 private:
  // A new node at `depth` levels below the image; refuses one too deep or
  // one too many.
  Node NewNode(NodeKind kind, uint64_t offset, unsigned depth, const std::string& where) {
    if (++nodes_ > options_.max_nodes) {
      throw FirmwareFormatError("more than " + std::to_string(options_.max_nodes) +
                                " volumes, files and sections in the image");
    }
    if (depth > options_.max_depth) {
      throw FirmwareFormatError("nesting deeper than " + std::to_string(options_.max_depth) +
                                " levels at " + Hex(offset) + " in " + where);
    }
    Node node;
    node.kind = kind;
    node.offset = offset;
    return node;
  }

  // Damage that does not stop the walk from reading on: marked on the node,
  // or thrown when the walk stops at the first.
  void Damage(Node& node, const std::string& where, std::string what) const {
    if (!options_.keep_going) {
      throw FirmwareFormatError(where + ": " + what);
    }
    node.damage.push_back(std::move(what));
  }

  // Parses a node's contents; when the walk goes on past damage, damage
  // thrown there is marked on the node and its contents end where it was.
  template <typename Parse>
  void Contents(Node& node, Parse parse) {
    try {
      parse();
    } catch (const FirmwareFormatError& e) {
      if (!options_.keep_going || nodes_ > options_.max_nodes) {
        throw;
      }
      node.damage.emplace_back(e.what());
    }
  }

  void Sections(std::span<const uint8_t> bytes, uint64_t start, uint64_t end,
                const std::string& where, Node& container, unsigned depth);
  void SectionContents(std::span<const uint8_t> section, Node& node, const std::string& where,
                       unsigned depth);
  void GuidDefined(std::span<const uint8_t> section, Node& node, const std::string& where,
                   unsigned depth);
  void Files(std::span<const uint8_t> volume, Node& node, const std::string& where, unsigned depth);
  void FileChecksums(std::span<const uint8_t> file, Node& node, const std::string& where) const;

  const WalkOptions& options_;
  uint64_t decompress_left_;
  uint64_t nodes_ = 0;
};

void Walker::GuidDefined(std::span<const uint8_t> section, Node& node, const std::string& where,
                         unsigned depth) {
  const Bytes b(section, where);
  const uint32_t common = node.header_size;
  node.guid = b.GuidAt(common, "GUID-defined section header");
  const auto data_offset = static_cast<uint32_t>(b.Get(common + 16, 2, "data offset"));
  node.attributes = static_cast<uint32_t>(b.Get(common + 18, 2, "attributes"));
  if (data_offset < common + kGuidDefinedFields || data_offset > node.size) {
    throw FirmwareFormatError("GUID-defined section in " + where + " has data offset " +
                              Hex(data_offset));
  }
  node.header_size = data_offset;
  if ((node.attributes & kGuidedProcessingRequired) == 0) {
    Sections(section, data_offset, node.size, where, node, depth);
    return;
  }
  if (node.guid != kLzmaSectionGuid) {
    // Other processing (a signature, another compression) is not undone:
    // the section is a leaf.
    return;
  }
  const std::span<const uint8_t> stream = section.subspan(data_offset);
  try {
    // The size the stream declares is what would be allocated: it is
    // charged to the image before any of it is.
    const uint64_t declared = ReadLzmaHeader(stream).uncompressed_size;
    if (declared > decompress_left_) {
      throw FirmwareFormatError("LZMA section in " + where + " declares " +
                                std::to_string(declared) + " bytes decompressed, more than the " +
                                std::to_string(decompress_left_) + " left of the limit of " +
                                std::to_string(options_.max_decompressed) + " bytes per image");
    }
    node.decoded = LzmaDecompress(stream, decompress_left_, options_.progress);
  } catch (const LzmaError& e) {
    throw FirmwareFormatError("LZMA section in " + where + ": " + e.what());
  }
  decompress_left_ -= node.decoded.size();
  node.compressed = true;
  Sections(node.decoded, 0, node.decoded.size(), "the LZMA data in " + where, node, depth);
}

// The children of a section that encapsulates others.
void Walker::SectionContents(std::span<const uint8_t> section, Node& node, const std::string& where,
                             unsigned depth) {
  const Bytes b(section, where);
  switch (node.type) {
    case kSectionGuidDefined:
      GuidDefined(section, node, where, depth);
      return;
    case kSectionCompression: {
      node.header_size += kCompressionFields;
      if (b.Get(node.header_size - 1, 1, "compression type") == kNotCompressed) {
        Sections(section, node.header_size, node.size, where, node, depth);
      }
      return;
    }
    case kSectionVolumeImage: {
      bool usable = false;
      node.children.push_back(
          Volume(section.subspan(node.header_size), node.header_size, depth + 1, usable));
      return;
    }
    default:
      return;
  }
}

void Walker::Sections(std::span<const uint8_t> bytes, uint64_t start, uint64_t end,
                      const std::string& where, Node& container, unsigned depth) {
  const Bytes b(bytes, where);
  uint64_t at = start;
  while (at < end) {
    if (end - at < kSectionHeaderSize) {
      throw FirmwareFormatError(std::to_string(end - at) + " stray bytes at " + Hex(at) + " in " +
                                where);
    }
    Node node = NewNode(NodeKind::kSection, at, depth + 1, where);
    node.size = b.Get(at, 3, "section size");
    node.type = bytes[at + 3];
    node.header_size = kSectionHeaderSize;
    if (node.size == kMaxStandardSize) {
      node.size = b.Get(at + 4, 4, "extended section size");
      node.header_size = kLargeSectionHeaderSize;
    }
    if (node.size < node.header_size || node.size > end - at) {
      throw FirmwareFormatError("section of type " + Hex(node.type) + " at " + Hex(at) + " in " +
                                where + " has size " + Hex(node.size));
    }
    const std::span<const uint8_t> section = b.Sub(at, node.size, "section");
    Contents(node, [&] {
      SectionContents(section, node, "section " + Hex(at) + " of " + where, depth + 1);
    });
    at = AlignUp(at + node.size, kSectionAlignment);
    container.children.push_back(std::move(node));
  }
}

// A file's header checksum (its 24 or 32 header bytes sum to 0, the data
// checksum and state counted as 0) and data checksum (the data and that byte
// sum to 0 when the file asks for a checksum, else the byte is 0xAA).
void Walker::FileChecksums(std::span<const uint8_t> file, Node& node,
                           const std::string& where) const {
  std::vector<uint8_t> header(file.begin(), file.begin() + node.header_size);
  header[17] = 0;
  header[23] = 0;
  if (const uint8_t sum = Sum8(header); sum != 0) {
    Damage(node, where,
           InvalidChecksum("header", header[16], static_cast<uint8_t>(header[16] - sum), 2));
  }
  const uint8_t stored = file[17];
  const uint8_t should = (node.attributes & kFfsAttribChecksum) != 0
                             ? static_cast<uint8_t>(-Sum8(file.subspan(node.header_size)))
                             : kFixedFileChecksum;
  if (stored != should) {
    Damage(node, where, InvalidChecksum("data", stored, should, 2));
  }
}

void Walker::Files(std::span<const uint8_t> volume, Node& node, const std::string& where,
                   unsigned depth) {
  const Bytes b(volume, where);
  const uint8_t erased = node.erase_polarity ? 0xFF : 0x00;
  const bool ffs3 = node.guid == kFirmwareFileSystem3Guid;
  uint64_t at = node.header_size;
  // Until the files are read to their end, where the free space starts is unknown.
  node.free_offset = node.size;
  while (at + kFfsFileHeaderSize <= node.size) {
    if (AllErased(volume.subspan(at, kFfsFileHeaderSize), erased)) {
      node.free_offset = at;
      return;
    }
    Node file = NewNode(NodeKind::kFile, at, depth + 1, where);
    file.guid = b.GuidAt(at, "file name");
    file.type = volume[at + 18];
    file.attributes = volume[at + 19];
    file.state = node.erase_polarity ? static_cast<uint8_t>(~volume[at + 23]) : volume[at + 23];
    file.erase_polarity = node.erase_polarity;
    file.size = b.Get(at + 20, 3, "file size");
    file.header_size = kFfsFileHeaderSize;
    if (ffs3 && (file.attributes & kFfsAttribLargeFile) != 0) {
      file.size = b.Get(at + 24, 8, "large file size");
      file.header_size = kFfsLargeFileHeaderSize;
    }
    const std::string name = "file " + file.guid.ToString() + " at " + Hex(at) + " of " + where;
    if (file.size < file.header_size || file.size > node.size - at) {
      throw FirmwareFormatError(name + " has size " + Hex(file.size));
    }
    const std::span<const uint8_t> bytes = volume.subspan(at, file.size);
    FileChecksums(bytes, file, name);
    if (HoldsSections(file.type) && (file.state & kFileDeleted) == 0) {
      Contents(file, [&] { Sections(bytes, file.header_size, file.size, name, file, depth + 1); });
    }
    at = AlignUp(at + file.size, kFileAlignment);
    node.children.push_back(std::move(file));
  }
  node.free_offset = std::min<uint64_t>(at, node.size);
}

Node Walker::Volume(std::span<const uint8_t> bytes, uint64_t offset, unsigned depth, bool& usable) {
  const std::string where = "the volume at " + Hex(offset);
  const Bytes b(bytes, where);
  usable = false;
  b.Require(0, kMinVolumeHeader, "volume header");
  if (std::memcmp(bytes.data() + kVolumeSignatureOffset, "_FVH", 4) != 0) {
    throw FirmwareFormatError("no _FVH signature in " + where);
  }
  Node node = NewNode(NodeKind::kVolume, offset, depth, where);
  node.guid = b.GuidAt(16, "file system GUID");
  node.size = b.Get(32, 8, "FvLength");
  node.attributes = static_cast<uint32_t>(b.Get(44, 4, "attributes"));
  node.erase_polarity = (node.attributes & kFvbErasePolarity) != 0;
  const auto header_length = static_cast<uint32_t>(b.Get(48, 2, "HeaderLength"));
  const auto ext_offset = static_cast<uint32_t>(b.Get(52, 2, "ExtHeaderOffset"));
  if (node.size > bytes.size() || header_length < kMinVolumeHeader || header_length > node.size ||
      header_length % 2 != 0) {
    Damage(node, where,
           "has length " + Hex(node.size) + " and header length " + Hex(header_length) + " in " +
               Hex(bytes.size()) + " bytes");
    node.free_offset = node.size;
    return node;
  }
  usable = true;
  if (const uint16_t sum = Sum16(bytes.first(header_length)); sum != 0) {
    const auto stored = static_cast<uint16_t>(b.Get(50, 2, "header checksum"));
    Damage(node, where, InvalidChecksum("header", stored, static_cast<uint16_t>(stored - sum), 4));
  }
  node.free_offset = node.size;
  Contents(node, [&] {
    uint64_t files = header_length;
    if (ext_offset != 0) {
      node.volume_name = b.GuidAt(ext_offset, "extended header");
      files = ext_offset + b.Get(ext_offset + 16, 4, "extended header size");
    }
    node.header_size = static_cast<uint32_t>(AlignUp(files, kFileAlignment));
    if (node.header_size > node.size) {
      throw FirmwareFormatError(where + ": its headers run past its end");
    }
    if (node.IsFileSystem()) {
      Files(bytes.first(node.size), node, where, depth);
    }
  });
  return node;
}

Node Walker::Image(std::span<const uint8_t> image) {
  Node root;
  root.size = image.size();
  uint64_t at = 0;
  while (at + kMinVolumeHeader <= image.size()) {
    if (std::memcmp(image.data() + at + kVolumeSignatureOffset, "_FVH", 4) == 0) {
      bool usable = false;
      Node volume = Volume(image.subspan(at), at, 1, usable);
      // Past a volume whose length is damaged, the search goes on at the
      // next boundary.
      at += usable ? AlignUp(std::max<uint64_t>(volume.size, kFileAlignment), kFileAlignment)
                   : kFileAlignment;
      root.children.push_back(std::move(volume));
    } else {
      at += kFileAlignment;
    }
  }
  if (root.children.empty()) {
    throw FirmwareFormatError("no firmware volume in the " + Hex(image.size()) + "-byte image");
  }
  return root;
}

std::string FileTypeName(uint8_t type) {
  switch (type) {
    case kFileTypeRaw:
      return "raw";
    case kFileTypeFreeform:
      return "freeform";
    case kFileTypeSecurityCore:
      return "SEC core";
    case kFileTypePeiCore:
      return "PEI core";
    case 0x05:
      return "DXE core";
    case kFileTypePeim:
      return "PEIM";
    case 0x07:
      return "driver";
    case kFileTypeVolumeImage:
      return "volume image";
    case kFileTypePad:
      return "pad";
    default:
      return "type " + Hex(type);
  }
}

std::string SectionTypeName(uint8_t type) {
  switch (type) {
    case kSectionCompression:
      return "compression";
    case kSectionGuidDefined:
      return "GUID-defined";
    case kSectionPe32:
      return "PE32";
    case kSectionTe:
      return "TE";
    case 0x13:
      return "DXE depex";
    case 0x14:
      return "version";
    case kSectionUserInterface:
      return "UI";
    case kSectionVolumeImage:
      return "volume image";
    case kSectionRaw:
      return "raw";
    case kSectionPeiDepex:
      return "PEI depex";
    default:
      return "type " + Hex(type);
  }
}

void Print(std::ostream& out, const Node& node, int depth) {
  out << std::string(static_cast<size_t>(depth) * 2, ' ') << Hex(node.offset) << " "
      << node.Describe();
  for (const std::string& damage : node.damage) {
    out << ", " << damage;
  }
  out << "\n";
  for (const Node& child : node.children) {
    Print(out, child, depth + 1);
  }
}

void CollectVolumes(const Node& node, NodePath& path, std::vector<NodePath>& out) {
  if (node.kind == NodeKind::kVolume) {
    out.push_back(path);
  }
  for (size_t i = 0; i < node.children.size(); ++i) {
    path.push_back(i);
    CollectVolumes(node.children[i], path, out);
    path.pop_back();
  }
}

}  // namespace

bool Node::IsFileSystem() const {
  return kind == NodeKind::kVolume &&
         (guid == kFirmwareFileSystem2Guid || guid == kFirmwareFileSystem3Guid);
}

std::string Node::Describe() const {
  switch (kind) {
    case NodeKind::kImage:
      return "image, " + Hex(size) + " bytes";
    case NodeKind::kVolume: {
      std::string text = "volume";
      if (volume_name) {
        text += " " + volume_name->ToString();
      }
      text += ", " + Hex(size) + " bytes, file system " + guid.ToString();
      if (IsFileSystem()) {
        text += ", free " + Hex(size - free_offset) + " bytes at " + Hex(free_offset);
      }
      return text;
    }
    case NodeKind::kFile: {
      std::string text =
          "file " + guid.ToString() + " " + FileTypeName(type) + ", " + Hex(size) + " bytes";
      if ((state & kFileDeleted) != 0) {
        text += ", deleted";
      }
      return text;
    }
    case NodeKind::kSection: {
      std::string text = "section " + SectionTypeName(type) + ", " + Hex(size) + " bytes";
      if (type == kSectionGuidDefined) {
        text += ", " + guid.ToString();
      }
      if (compressed) {
        text += ", LZMA, " + Hex(decoded.size()) + " bytes decompressed";
      }
      return text;
    }
  }
  return {};
}

Node WalkVolume(std::span<const uint8_t> bytes, uint64_t offset, const WalkOptions& options) {
  Walker walker(options);
  bool usable = false;
  return walker.Volume(bytes, offset, 1, usable);
}

Node WalkImage(std::span<const uint8_t> image, const WalkOptions& options) {
  Walker walker(options);
  return walker.Image(image);
}

size_t CountDamage(const Node& root) {
  size_t count = root.damage.size();
  for (const Node& child : root.children) {
    count += CountDamage(child);
  }
  return count;
}

const Node& At(const Node& root, const NodePath& path) {
  const Node* node = &root;
  for (size_t i : path) {
    node = &node->children.at(i);
  }
  return *node;
}

std::vector<NodePath> Volumes(const Node& root) {
  std::vector<NodePath> out;
  NodePath path;
  CollectVolumes(root, path, out);
  return out;
}

std::optional<uint64_t> ImageOffset(const Node& root, const NodePath& path) {
  const Node* node = &root;
  uint64_t offset = 0;
  for (size_t i : path) {
    if (node->compressed) {
      return std::nullopt;
    }
    node = &node->children.at(i);
    offset += node->offset;
  }
  return offset;
}

std::vector<uint8_t> NodeBytes(const Node& root, std::span<const uint8_t> image,
                               const NodePath& path) {
  const Node* node = &root;
  std::span<const uint8_t> bytes = image;
  for (size_t i : path) {
    const Node& child = node->children.at(i);
    const std::span<const uint8_t> payload = node->compressed ? std::span(node->decoded) : bytes;
    bytes = payload.subspan(child.offset, child.size);
    node = &child;
  }
  return {bytes.begin(), bytes.end()};
}

void PrintTree(std::ostream& out, const Node& root) { Print(out, root, 0); }

}  // namespace clockramp::fv
