#include "image/FirmwareEdit.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "image/Lzma.h"

namespace clockramp::fv {
namespace {

std::vector<uint8_t> Slice(std::span<const uint8_t> bytes, uint64_t at, uint64_t size) {
  const std::span<const uint8_t> part = bytes.subspan(at, size);
  return {part.begin(), part.end()};
}

// A stream of sections with one replaced: those after it move with it and
// keep their 4-byte alignment.
std::vector<uint8_t> SpliceSection(std::span<const uint8_t> stream, uint64_t end, const Node& child,
                                   const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out = Slice(stream, 0, child.offset);
  out.insert(out.end(), bytes.begin(), bytes.end());
  const uint64_t next = AlignUp(child.offset + child.size, kSectionAlignment);
  if (next < end) {
    out.resize(AlignUp(out.size(), kSectionAlignment), 0);
    const std::vector<uint8_t> rest = Slice(stream, next, end - next);
    out.insert(out.end(), rest.begin(), rest.end());
  }
  return out;
}

// A volume with one file replaced. The volume keeps its size: a file that
// grows needs erased space after it; one that shrinks leaves erased space
// when free space follows, or a pad file before the next file.
std::vector<uint8_t> SpliceFile(const Node& volume, std::span<const uint8_t> bytes,
                                const Node& file, const std::vector<uint8_t>& replacement) {
  std::vector<uint8_t> out(bytes.begin(), bytes.end());
  const uint8_t erased = ErasedByte(volume);
  const uint64_t old_end = file.offset + file.size;
  const uint64_t new_end = file.offset + replacement.size();
  const bool last = AlignUp(old_end, kFileAlignment) >= volume.free_offset;
  const uint64_t limit = last ? volume.size : AlignUp(old_end, kFileAlignment);
  if (new_end > limit) {
    throw EditRefused("the file " + file.guid.ToString() + " would grow to " +
                      Hex(replacement.size()) + " bytes, and only " + Hex(limit - file.offset) +
                      " are free for it in its volume");
  }
  if (new_end > old_end && !std::all_of(out.begin() + static_cast<std::ptrdiff_t>(old_end),
                                        out.begin() + static_cast<std::ptrdiff_t>(new_end),
                                        [&](uint8_t b) { return b == erased; })) {
    throw EditRefused("the space after the file " + file.guid.ToString() + " is not erased");
  }
  std::copy(replacement.begin(), replacement.end(),
            out.begin() + static_cast<std::ptrdiff_t>(file.offset));
  if (new_end < old_end) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(new_end),
              out.begin() + static_cast<std::ptrdiff_t>(old_end), erased);
  }
  if (!last) {
    // Between this file and the next: nothing, or a pad file.
    const uint64_t gap_start = AlignUp(new_end, kFileAlignment);
    const uint64_t gap = limit - gap_start;
    if (gap != 0 && gap < kFfsFileHeaderSize) {
      throw EditRefused("the file " + file.guid.ToString() + " would leave a gap of " +
                        std::to_string(gap) +
                        " bytes before the next file, too small for a pad file");
    }
    if (gap != 0) {
      const std::vector<uint8_t> pad =
          BuildPadFile(static_cast<uint32_t>(gap), volume.erase_polarity);
      std::copy(pad.begin(), pad.end(), out.begin() + static_cast<std::ptrdiff_t>(gap_start));
    }
  }
  return out;
}

// A file with its sections' new bytes: size and checksums fixed.
std::vector<uint8_t> SealedFile(const Node& file, std::vector<uint8_t> bytes) {
  try {
    SealFile(bytes);
  } catch (const std::invalid_argument& e) {
    throw EditRefused("the file " + file.guid.ToString() + ": " + e.what());
  }
  return bytes;
}

// A section with its new body (after its header): the size field fixed, or,
// for an LZMA section, the body compressed again.
std::vector<uint8_t> SealedSection(const Node& section, std::span<const uint8_t> old_bytes,
                                   std::vector<uint8_t> payload, const LzmaProgress& progress) {
  if (section.compressed) {
    const LzmaHeader like = ReadLzmaHeader(old_bytes.subspan(section.header_size));
    return BuildGuidDefinedSection(section.guid, static_cast<uint16_t>(section.attributes),
                                   LzmaCompress(payload, like, progress));
  }
  // The payload holds the section's own header first.
  const bool extended = old_bytes[0] == 0xFF && old_bytes[1] == 0xFF && old_bytes[2] == 0xFF;
  const uint64_t size = payload.size();
  if (!extended && size >= kMaxStandardSize) {
    throw EditRefused("a section would grow to " + Hex(size) +
                      " bytes, past its 24-bit size field");
  }
  for (unsigned i = 0; i < (extended ? 4U : 3U); ++i) {
    payload[(extended ? 4 : 0) + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  return payload;
}

std::vector<uint8_t> Replace(const Node& node, std::span<const uint8_t> bytes, const NodePath& path,
                             size_t depth, std::vector<uint8_t> replacement,
                             const LzmaProgress& progress) {
  if (depth == path.size()) {
    return replacement;
  }
  const Node& child = node.children.at(path[depth]);
  const std::span<const uint8_t> payload = node.compressed ? std::span(node.decoded) : bytes;
  std::vector<uint8_t> new_child = Replace(child, payload.subspan(child.offset, child.size), path,
                                           depth + 1, std::move(replacement), progress);
  if (new_child.size() == child.size && !node.compressed) {
    std::vector<uint8_t> out(bytes.begin(), bytes.end());
    std::copy(new_child.begin(), new_child.end(),
              out.begin() + static_cast<std::ptrdiff_t>(child.offset));
    // A file's data checksum covers the child; a section has no checksum.
    return node.kind == NodeKind::kFile ? SealedFile(node, std::move(out)) : out;
  }
  switch (node.kind) {
    case NodeKind::kImage:
      throw EditRefused("a volume of the image would change size");
    case NodeKind::kVolume:
      return SpliceFile(node, bytes, child, new_child);
    case NodeKind::kFile:
      return SealedFile(node, SpliceSection(bytes, node.size, child, new_child));
    case NodeKind::kSection:
      if (node.type == kSectionVolumeImage && new_child.size() != child.size) {
        throw EditRefused("a volume inside a volume image section would change size");
      }
      return SealedSection(
          node, bytes,
          SpliceSection(payload, node.compressed ? payload.size() : node.size, child, new_child),
          progress);
  }
  return {};
}

}  // namespace

std::vector<uint8_t> ReplaceNode(const Node& root, std::span<const uint8_t> image,
                                 const NodePath& path, std::vector<uint8_t> bytes,
                                 const LzmaProgress& progress) {
  return Replace(root, image, path, 0, std::move(bytes), progress);
}

}  // namespace clockramp::fv
