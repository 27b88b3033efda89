// The firmware walk and what the tools do with a firmware image they were
// given: `clockramp-fv list` (the walk that goes on past damage and marks
// it), the strict walk of `insert` and of the QEMU engine's image build, and
// `insert` itself, which adds the module's PEIM file to the image's PEI
// volume (rebased for a volume run at 0x820000, listed in the apriori file,
// replacing a file of its name) and walks its own result.
//
// A tree that comes back must hold together: every child inside its parent's
// payload, past the parent's header, the bytes of every node as long as the
// node says, a node mapped in the image inside the image, and the listing
// one printable line per node. A refusal is one printable line. The walks
// decompress at most 16 MiB an image here, where the tools allow 512 MiB:
// the same checks, at a size each input can afford.
#include <sstream>
#include <string>

#include "BuildPaths.h"
#include "fuzz/readers/ReaderTarget.h"
#include "image/FirmwareEdit.h"
#include "image/FirmwareWalk.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"

namespace clockramp::fuzz {
namespace {

namespace fv = clockramp::fv;
namespace pe = clockramp::pe;

constexpr uint64_t kMaxDecompressed = uint64_t{16} << 20;
constexpr uint64_t kRunAddress = 0x820000;  // where OVMF's PEI volume runs

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

size_t CountNodes(const fv::Node& node) {
  size_t count = 1;
  for (const fv::Node& child : node.children) {
    count += CountNodes(child);
  }
  return count;
}

// Checks a node and everything under it; returns how many nodes that is. A
// node marked damaged (by the walk that goes on past damage) keeps what its
// header claims, a size past what holds it or a header past its end: its
// own sizes are not checked, and when it does not fit its container, it and
// what the walk read under it are only counted. The listing is what uses
// them, and it is checked whole.
size_t CheckTree(const fv::Node& root, Input image, const fv::Node& node, fv::NodePath& path) {
  if (!path.empty() && node.damage.empty()) {
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
      if (child.damage.empty()) {
        Finding(Where(path) + ": child " + std::to_string(i) + " lies outside its payload");
      }
      count += CountNodes(child);
      continue;
    }
    path.push_back(i);
    count += CheckTree(root, image, child, path);
    path.pop_back();
  }
  return count;
}

void CheckListing(const fv::Node& root, size_t nodes) {
  std::ostringstream listing;
  fv::PrintTree(listing, root);
  size_t lines = 0;
  for (char c : listing.str()) {
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

// Walks with the options; checks the tree, or the refusal.
bool Walk(Input data, const fv::WalkOptions& options) {
  fv::Node root;
  try {
    root = fv::WalkImage(data, options);
  } catch (const fv::FirmwareFormatError& e) {
    CheckMessage(e.what());
    return false;
  }
  fv::NodePath path;
  CheckListing(root, CheckTree(root, data, root, path));
  return true;
}

const pe::PeImage& ModuleImage() {
  static const pe::PeImage image = pe::PeImage::ReadFile(CLOCKRAMP_MODULE_IMAGE);
  return image;
}

void Insert(Input data, const fv::WalkOptions& walk) {
  fv::InsertOptions options;
  options.walk = walk;
  options.run_address = kRunAddress;
  options.apriori = true;
  options.replace = true;
  try {
    fv::InsertPeim(data, ModuleImage(), options);
  } catch (const fv::FirmwareFormatError& e) {
    CheckMessage(e.what());
  } catch (const fv::EditRefused& e) {
    CheckMessage(e.what());
  }
}

}  // namespace

CLOCKRAMP_READER_TARGET(FuzzFirmwareWalk) {
  fv::WalkOptions options;
  options.max_decompressed = kMaxDecompressed;
  options.keep_going = true;
  Walk(data, options);
  options.keep_going = false;
  if (Walk(data, options)) {
    Insert(data, options);
  }
}

}  // namespace clockramp::fuzz
