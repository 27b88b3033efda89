// Writing a changed node back into a firmware image: every container on the
// way up gets its sizes and checksums fixed, and an LZMA-compressed section
// is compressed again (its header giving the new uncompressed size). Bytes
// outside the path stay as they were; only what follows a node that changed
// size inside the same file or section moves with it.
#ifndef CLOCKRAMP_IMAGE_FIRMWAREEDIT_H_
#define CLOCKRAMP_IMAGE_FIRMWAREEDIT_H_

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "image/FirmwareWalk.h"
#include "image/Lzma.h"

namespace clockramp::fv {

// The change cannot be made: no room for a file, a size that no longer fits
// its field, a volume of the wrong kind. Nothing is written.
class EditRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The image with the node at `path` replaced by `bytes`. A file that grows
// may take free space after it, or pad-file space when it shrinks; volumes
// and the image keep their sizes. Throws EditRefused when the new bytes do
// not fit. `progress` is told how far each LZMA compression has come.
std::vector<uint8_t> ReplaceNode(const Node& root, std::span<const uint8_t> image,
                                 const NodePath& path, std::vector<uint8_t> bytes,
                                 const LzmaProgress& progress = {});

// The erased byte of a volume.
inline uint8_t ErasedByte(const Node& volume) { return volume.erase_polarity ? 0xFF : 0x00; }

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_FIRMWAREEDIT_H_
