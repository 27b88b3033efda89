// The firmware walk (`clockramp-fv list` and `insert`, the QEMU engine's
// image build): volumes, files, sections, GUID-defined and LZMA sections,
// nested volumes. A tree that comes back must hold together: every child
// inside its parent's payload, past the parent's header, the bytes of every
// node as long as the node says, a node mapped in the image inside the
// image, and the listing one printable line per node.
#include <sstream>
#include <string>

#include "fuzz/readers/ReaderTarget.h"
#include "image/FirmwareWalk.h"

namespace clockramp::fuzz {
namespace {

namespace fv = clockramp::fv;

// The bytes a node's children lie in: its own, or its decompressed data.
uint64_t PayloadSize(const fv::Node& node) {
  return node.compressed ? node.decoded.size() : node.size;
}

std::string Where(const fv::NodePath& path) {
  std::string text = "node";
  for (size_t i : path) {
    text += " " + std::to_string(i);
  }
  return text;
}

// Checks a node and everything under it; returns how many nodes that is.
size_t CheckTree(const fv::Node& root, Input image, const fv::Node& node, fv::NodePath& path) {
  if (!path.empty()) {
    if (node.header_size > node.size) {
      Finding(Where(path) + ": a header of " + std::to_string(node.header_size) + " bytes in " +
              std::to_string(node.size));
    }
    if (fv::NodeBytes(root, image, path).size() != node.size) {
      Finding(Where(path) + ": its bytes are not " + std::to_string(node.size) + " long");
    }
    if (const auto offset = fv::ImageOffset(root, path);
        offset && (*offset > image.size() || node.size > image.size() - *offset)) {
      Finding(Where(path) + ": mapped past the end of the image");
    }
  }
  size_t count = 1;
  for (size_t i = 0; i < node.children.size(); ++i) {
    const fv::Node& child = node.children[i];
    const uint64_t payload = PayloadSize(node);
    const uint64_t first = node.compressed ? 0 : node.header_size;
    if (child.offset < first || child.offset > payload || child.size > payload - child.offset) {
      Finding(Where(path) + ": child " + std::to_string(i) + " lies outside its payload");
    }
    path.push_back(i);
    count += CheckTree(root, image, child, path);
    path.pop_back();
  }
  return count;
}

}  // namespace

CLOCKRAMP_READER_TARGET(FuzzFirmwareWalk) {
  fv::Node root;
  try {
    root = fv::WalkImage(data);
  } catch (const fv::FirmwareFormatError& e) {
    CheckMessage(e.what());
    return;
  }
  fv::NodePath path;
  const size_t nodes = CheckTree(root, data, root, path);
  std::ostringstream listing;
  fv::PrintTree(listing, root);
  const std::string text = listing.str();
  size_t lines = 0;
  for (char c : text) {
    if (c == '\n') {
      ++lines;
    } else if (c < 0x20 || c > 0x7E) {
      Finding("the listing holds the byte " + std::to_string(static_cast<unsigned char>(c)));
    }
  }
  if (lines != nodes) {
    Finding("the listing has " + std::to_string(lines) + " lines for " + std::to_string(nodes) +
            " nodes");
  }
}

}  // namespace clockramp::fuzz
