// A walk over a firmware image: the firmware volumes it holds, their files,
// the files' sections, and the volumes and sections nested in those, down
// through GUID-defined sections (LZMA-compressed ones decompressed) and
// firmware volume image sections. Layouts as the public UEFI PI
// specification (volume 3) gives them. Anything that does not parse is a
// FirmwareFormatError naming what and where.
#ifndef CLOCKRAMP_IMAGE_FIRMWAREWALK_H_
#define CLOCKRAMP_IMAGE_FIRMWAREWALK_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/FvBuilder.h"

namespace clockramp::fv {

class FirmwareFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class NodeKind { kImage, kVolume, kFile, kSection };

// One element of the tree. Offsets are in the parent's payload: the parent's
// own bytes, or its decompressed data when the parent is `compressed`.
struct Node {
  NodeKind kind = NodeKind::kImage;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t header_size = 0;  // file and section headers; a volume's first file
  uint8_t type = 0;          // file or section type
  // Volume: its file system GUID; file: its name; GUID-defined section: its definition.
  Guid guid;
  std::optional<Guid> volume_name;  // a volume's name, from its extended header
  uint32_t attributes = 0;          // of the volume, file or GUID-defined section
  uint8_t state = 0;                // a file's state bits (erase polarity undone)
  bool erase_polarity = true;       // a volume's, and that of the volume a file is in
  uint64_t free_offset = 0;         // a volume: where its free space begins
  bool compressed = false;          // the children lie in `decoded`
  std::vector<uint8_t> decoded;
  std::vector<Node> children;

  [[nodiscard]] bool IsFileSystem() const;
  [[nodiscard]] std::string Describe() const;
};

// Indices of children from the root to a node.
using NodePath = std::vector<size_t>;

// Parses a whole image: every firmware volume found at an 8-byte boundary
// outside another volume, and everything inside them. An image with no
// volume, or a volume, file or section that does not parse, throws.
Node WalkImage(std::span<const uint8_t> image);

// Parses one volume that starts at the beginning of `bytes`.
Node WalkVolume(std::span<const uint8_t> bytes, uint64_t offset = 0);

// The node at a path.
const Node& At(const Node& root, const NodePath& path);

// Every volume in the tree, in walk order.
std::vector<NodePath> Volumes(const Node& root);

// Where a node's bytes lie in the image when nothing on the way is
// compressed (the node is mapped as it is stored); nullopt otherwise.
std::optional<uint64_t> ImageOffset(const Node& root, const NodePath& path);

// The path's nodes' own bytes (a child's bytes from its parent's payload).
std::vector<uint8_t> NodeBytes(const Node& root, std::span<const uint8_t> image,
                               const NodePath& path);

// Prints the tree, one node a line, indented by depth.
void PrintTree(std::ostream& out, const Node& root);

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_FIRMWAREWALK_H_
