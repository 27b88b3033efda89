// A walk over a firmware image: the firmware volumes it holds, their files,
// the files' sections, and the volumes and sections nested in those, down
// through GUID-defined sections (LZMA-compressed ones decompressed) and
// firmware volume image sections. Layouts as the public UEFI PI
// specification (volume 3) gives them. Anything that does not parse is a
// FirmwareFormatError naming what and where, unless the walk is asked to go
// on and mark the damage on the tree (for a listing of a damaged image).
//
// The image comes from outside and may be hostile: the walk is bounded in
// the depth of its tree (its recursion), the bytes it decompresses (checked
// against what each LZMA section declares before anything is allocated) and
// the number of nodes it keeps.
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
#include "image/Lzma.h"

namespace clockramp::fv {

class FirmwareFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a walk may take from an image, and what it does with damage.
struct WalkOptions {
  // Levels of the tree below the image. A real image nests volume, file,
  // GUID-defined section, volume image section, volume, file, section: seven
  // or eight levels; each level costs the walk a few recursive calls.
  unsigned max_depth = 64;
  // Bytes decompressed in the whole walk, every LZMA section together. The
  // tree keeps them all; a large flash image decompresses to some tens of MiB.
  uint64_t max_decompressed = uint64_t{512} << 20;
  // Volumes, files and sections in the tree (some hundred bytes each; a
  // stream of empty 4-byte sections would otherwise cost 40 times its size).
  uint64_t max_nodes = 1000000;
  // Go on past damage: a bad checksum, a size past its container, a stream
  // that does not decompress or a limit reached is marked on the node where
  // it is found, and the walk reads what it still can. Otherwise the first
  // damage throws. Too many nodes always throws.
  bool keep_going = false;
  // Told how far the decompression of each LZMA section has come.
  LzmaProgress progress{};
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
  // What is wrong here, when the walk went on past damage ("invalid header
  // checksum 53h, should be 52h"). A damaged container's children are those
  // read before the damage.
  std::vector<std::string> damage;

  [[nodiscard]] bool IsFileSystem() const;
  [[nodiscard]] std::string Describe() const;
};

// Indices of children from the root to a node.
using NodePath = std::vector<size_t>;

// Parses a whole image: every firmware volume found at an 8-byte boundary
// outside another volume, and everything inside them. An image with no
// volume throws; so does any damage (a bad checksum, a volume, file or
// section that does not parse, a limit of `options` passed) unless
// `options.keep_going`.
Node WalkImage(std::span<const uint8_t> image, const WalkOptions& options = {});

// Parses one volume that starts at the beginning of `bytes`.
Node WalkVolume(std::span<const uint8_t> bytes, uint64_t offset = 0,
                const WalkOptions& options = {});

// How many places of the tree are marked damaged.
size_t CountDamage(const Node& root);

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

// Prints the tree, one node a line, indented by depth, with its damage.
void PrintTree(std::ostream& out, const Node& root);

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_FIRMWAREWALK_H_
