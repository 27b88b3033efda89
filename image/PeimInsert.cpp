#include "image/PeimInsert.h"

#include <algorithm>
#include <cstdio>

#include "image/Rebase.h"

namespace clockramp::fv {
namespace {

constexpr uint64_t kFourGiB = 1ULL << 32;

bool Live(const Node& file) { return (file.state & kFileDeleted) == 0; }

const Node* FindFile(const Node& volume, const Guid& name) {
  auto it = std::find_if(volume.children.begin(), volume.children.end(),
                         [&](const Node& f) { return Live(f) && f.guid == name; });
  return it == volume.children.end() ? nullptr : &*it;
}

// The files the apriori file lists, from its first (raw) section.
std::vector<Guid> AprioriList(const Node& file, const std::vector<uint8_t>& volume) {
  if (file.children.empty() || file.children[0].type != kSectionRaw) {
    throw EditRefused("the PEI apriori file holds no raw section");
  }
  const Node& raw = file.children[0];
  const uint64_t body = file.offset + raw.offset + raw.header_size;
  const uint64_t size = raw.size - raw.header_size;
  if (size % 16 != 0) {
    throw EditRefused("the PEI apriori file's list is " + std::to_string(size) +
                      " bytes, not a whole number of GUIDs");
  }
  std::vector<Guid> list;
  for (uint64_t at = body; at < body + size; at += 16) {
    list.push_back(Guid::FromBytes(std::span(volume).subspan(at, 16)));
  }
  return list;
}

// The volume's bytes as files are taken out and added, and where its free space begins.
class VolumeWriter {
 public:
  VolumeWriter(const Node& volume, std::vector<uint8_t> bytes)
      : volume_(volume), bytes_(std::move(bytes)), free_(volume.free_offset) {
    const uint8_t erased = ErasedByte(volume_);
    if (!std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(free_), bytes_.end(),
                     [&](uint8_t b) { return b == erased; })) {
      throw EditRefused("the volume's free space at " + Hex(free_) + " is not all erased");
    }
  }

  // Takes a file out: a last file is erased and its space freed; any other
  // becomes a pad file of its size, so that no parser meets its name twice.
  void Remove(const Node& file) {
    if (AlignUp(file.offset + file.size, kFileAlignment) >= free_) {
      std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(file.offset),
                bytes_.begin() + static_cast<std::ptrdiff_t>(free_), ErasedByte(volume_));
      free_ = file.offset;
    } else {
      Write(file.offset, BuildPadFile(static_cast<uint32_t>(file.size), volume_.erase_polarity));
    }
  }

  // Writes a file over an old one and the pad file right after it, the pad
  // shrinking by what the file grows; false, with nothing written, when there
  // is no such pad file or it has too little room.
  bool Rewrite(const Node& file, const std::vector<uint8_t>& replacement) {
    const uint64_t next = AlignUp(file.offset + file.size, kFileAlignment);
    auto pad = std::find_if(volume_.children.begin(), volume_.children.end(),
                            [&](const Node& f) { return f.offset == next; });
    if (pad == volume_.children.end() || pad->type != kFileTypePad || next >= free_) {
      return false;
    }
    const uint64_t end = pad->offset + pad->size;
    const uint64_t pad_at = AlignUp(file.offset + replacement.size(), kFileAlignment);
    if (pad_at > end || (pad_at != end && end - pad_at < kFfsFileHeaderSize)) {
      return false;
    }
    std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(file.offset),
              bytes_.begin() + static_cast<std::ptrdiff_t>(end), ErasedByte(volume_));
    Write(file.offset, replacement);
    if (pad_at != end) {
      Write(pad_at, BuildPadFile(static_cast<uint32_t>(end - pad_at), volume_.erase_polarity));
    }
    return true;
  }

  // Where a file goes whose byte `skew` must sit at a multiple of `alignment`
  // once the volume is at `address`: the first 8-byte boundary in free space
  // that gives it, or after a pad file that moves it there.
  [[nodiscard]] uint64_t Place(uint64_t address, uint64_t skew, uint64_t alignment) const {
    const uint64_t first = AlignUp(free_, kFileAlignment);
    const auto fits = [&](uint64_t at) { return (address + at + skew) % alignment == 0; };
    if (fits(first)) {
      return first;
    }
    for (uint64_t at = first + kFfsFileHeaderSize; at <= first + kFfsFileHeaderSize + alignment;
         at += kFileAlignment) {
      if (fits(at)) {
        return at;
      }
    }
    throw EditRefused("no 8-byte boundary puts the image at a multiple of " + Hex(alignment));
  }

  // Writes a file at `at` (from Place), with a pad file before it when needed.
  void Add(uint64_t at, const std::vector<uint8_t>& file, const std::string& what) {
    const uint64_t first = AlignUp(free_, kFileAlignment);
    if (at + file.size() > volume_.size) {
      throw EditRefused("no room for " + what + ": it needs " + Hex(at + file.size() - free_) +
                        " bytes, the volume has " + Hex(volume_.size - free_) + " free");
    }
    if (at != first) {
      const std::vector<uint8_t> pad =
          BuildPadFile(static_cast<uint32_t>(at - first), volume_.erase_polarity);
      Write(first, pad);
    }
    Write(at, file);
    free_ = at + file.size();
  }

  // Raises the volume's own alignment to `alignment` when it declares less
  // and is not weakly aligned, as a file in it now asks for that much.
  void RaiseAlignment(uint32_t alignment) {
    uint32_t attributes = bytes_[44] | (bytes_[45] << 8) | (bytes_[46] << 16) |
                          (static_cast<uint32_t>(bytes_[47]) << 24);
    uint32_t log = 0;
    while ((1U << log) < alignment) {
      ++log;
    }
    if ((attributes & kFvbWeakAlignment) != 0 || ((attributes & kFvbAlignmentMask) >> 16) >= log) {
      return;
    }
    attributes = (attributes & ~kFvbAlignmentMask) | (log << 16);
    for (unsigned i = 0; i < 4; ++i) {
      bytes_[44 + i] = static_cast<uint8_t>(attributes >> (8 * i));
    }
    const uint32_t header = bytes_[48] | (bytes_[49] << 8);
    bytes_[50] = 0;
    bytes_[51] = 0;
    const uint16_t sum = Sum16(std::span(bytes_).first(header));
    const auto checksum = static_cast<uint16_t>(0x10000 - sum);
    bytes_[50] = static_cast<uint8_t>(checksum);
    bytes_[51] = static_cast<uint8_t>(checksum >> 8);
  }

  [[nodiscard]] std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  void Write(uint64_t at, const std::vector<uint8_t>& file) {
    std::copy(file.begin(), file.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  const Node& volume_;
  std::vector<uint8_t> bytes_;
  uint64_t free_;
};

}  // namespace

NodePath ChooseVolume(const Node& root, const std::optional<Guid>& name) {
  for (const NodePath& path : Volumes(root)) {
    const Node& volume = At(root, path);
    if (name) {
      if (volume.volume_name == name) {
        if (!volume.IsFileSystem()) {
          throw EditRefused("the volume " + name->ToString() +
                            " is not a firmware file system volume (its file system is " +
                            volume.guid.ToString() + ")");
        }
        return path;
      }
    } else if (volume.IsFileSystem() &&
               std::any_of(volume.children.begin(), volume.children.end(),
                           [](const Node& f) { return Live(f) && f.type == kFileTypePeiCore; })) {
      return path;
    }
  }
  throw EditRefused(
      name
          ? "no volume is named " + name->ToString()
          : std::string("no firmware file system volume holds a PEI core; name one with --volume"));
}

uint64_t VolumeAddress(const Node& root, const NodePath& volume, const InsertOptions& options) {
  if (options.run_address) {
    const uint64_t size = At(root, volume).size;
    if (*options.run_address + size > kFourGiB) {
      throw EditRefused("the volume (" + Hex(size) + " bytes) would run at " +
                        Hex(*options.run_address) + " and end past 4 GiB");
    }
    return *options.run_address;
  }
  const std::optional<uint64_t> offset = ImageOffset(root, volume);
  if (!offset) {
    throw EditRefused(
        "the volume is stored compressed and runs where the firmware copies it: "
        "give its run address (--run-address)");
  }
  const uint64_t base = options.flash_base.value_or(kFourGiB - root.size);
  if (base + root.size > kFourGiB) {
    throw EditRefused("mapped at " + Hex(base) + ", the image (" + Hex(root.size) +
                      " bytes) would end past 4 GiB");
  }
  return base + *offset;
}

std::vector<uint8_t> InsertIntoVolume(const Node& volume, std::vector<uint8_t> bytes,
                                      const pe::PeImage& image, uint64_t volume_address,
                                      const InsertOptions& options, InsertResult& result) {
  if (!volume.IsFileSystem()) {
    throw EditRefused("the volume is not a firmware file system volume (its file system is " +
                      volume.guid.ToString() + ")");
  }
  // Listed in the apriori file, the PEIM is dispatched before memory, where
  // the core runs it as it lies in the volume.
  if (options.apriori) {
    if (std::optional<std::string> fault = pe::InPlaceFault(image)) {
      throw EditRefused("an image listed in the apriori file runs in place before memory, and " +
                        options.peim.ui_name + " cannot: " + *fault);
    }
  }
  const Guid& name = options.peim.file_guid;
  const Node* existing = FindFile(volume, name);
  if (existing != nullptr && !options.replace) {
    throw EditRefused("a file named " + name.ToString() + " is already in the volume at " +
                      Hex(existing->offset) + "; use --replace to put this one in its place");
  }
  const Node* apriori = FindFile(volume, kPeiAprioriFileGuid);
  std::vector<Guid> listed;
  if (apriori != nullptr) {
    listed = AprioriList(*apriori, bytes);
  }

  VolumeWriter writer(volume, std::move(bytes));
  // The apriori file grows in place when a pad file after it has the room;
  // otherwise it moves to the free space.
  const bool list =
      options.apriori && std::find(listed.begin(), listed.end(), name) == listed.end();
  std::vector<uint8_t> new_apriori;
  if (list) {
    listed.push_back(name);
    new_apriori = BuildAprioriFile(listed, volume.erase_polarity);
  }
  const bool apriori_moves = list && (apriori == nullptr || !writer.Rewrite(*apriori, new_apriori));
  // Files taken out, the later first, so that a last file frees its space.
  std::vector<const Node*> remove;
  if (existing != nullptr) {
    remove.push_back(existing);
    result.replaced = true;
  }
  if (apriori_moves && apriori != nullptr) {
    remove.push_back(apriori);
  }
  std::sort(remove.begin(), remove.end(),
            [](const Node* a, const Node* b) { return a->offset > b->offset; });
  for (const Node* file : remove) {
    writer.Remove(*file);
  }
  if (apriori_moves) {
    writer.Add(writer.Place(0, 0, kFileAlignment), new_apriori, "the PEI apriori file");
  }
  result.listed_apriori = options.apriori;

  // The image must start at a multiple of its section alignment where it
  // runs. Files sit at 8-byte boundaries of the volume: up to 8, a raw
  // section in the file moves the body by 4 when the volume's address is 4
  // off such a boundary. Beyond 8 the file declares the data alignment the
  // image needs, a raw section puts the body at a multiple of it from the
  // data, and a pad file before the file puts the data there in the volume,
  // which must run at such a multiple itself.
  const uint32_t section_alignment = image.headers().section_alignment;
  PeimOptions peim = options.peim;
  peim.erase_polarity = volume.erase_polarity;
  uint32_t data_alignment = 1;
  if (section_alignment <= kFileAlignment) {
    peim.body_alignment = kFileAlignment;
    peim.body_skew =
        static_cast<uint32_t>((kFileAlignment - volume_address % kFileAlignment) % kFileAlignment);
  } else {
    try {
      data_alignment = FileDataAlignment(DataAlignmentAttributes(section_alignment));
    } catch (const std::invalid_argument& e) {
      throw EditRefused(options.peim.ui_name + ": " + e.what());
    }
    if (volume_address % data_alignment != 0) {
      throw EditRefused("the image's sections are aligned to " + Hex(section_alignment) +
                        ", its file's data to " + Hex(data_alignment) +
                        ", and the volume runs at " + Hex(volume_address) +
                        ", not at a multiple of that");
    }
    peim.body_alignment = section_alignment;
    peim.body_skew = 0;
  }
  uint64_t body = 0;
  try {
    body = ImageBodyOffset(peim);
  } catch (const std::invalid_argument&) {
    throw EditRefused("the volume runs at " + Hex(volume_address) +
                      ", where no file can hold the image at an 8-byte boundary");
  }
  const uint64_t at = data_alignment == 1
                          ? writer.Place(volume_address, body, kFileAlignment)
                          : writer.Place(volume_address, kFfsFileHeaderSize, data_alignment);
  writer.RaiseAlignment(data_alignment);
  const uint64_t base = volume_address + at + body;
  if (base + image.bytes().size() > kFourGiB) {
    throw EditRefused("the image would run at " + Hex(base) + ", past 4 GiB");
  }
  result.image_base = static_cast<uint32_t>(base);
  result.rebased = pe::RebaseImage(image, result.image_base);
  const std::vector<uint8_t> file = BuildPeimFile(result.rebased, peim);
  writer.Add(at, file, "the file " + name.ToString());
  result.file_offset = at;
  result.volume_address = volume_address;
  return std::move(writer.bytes());
}

InsertResult InsertPeim(std::span<const uint8_t> firmware, const pe::PeImage& image,
                        const InsertOptions& options) {
  WalkOptions walk = options.walk;
  walk.keep_going = false;
  const Node root = WalkImage(firmware, walk);
  InsertResult result;
  result.volume = ChooseVolume(root, options.volume);
  result.volume_name = At(root, result.volume).volume_name;
  const uint64_t address = VolumeAddress(root, result.volume, options);
  std::vector<uint8_t> volume =
      InsertIntoVolume(At(root, result.volume), NodeBytes(root, firmware, result.volume), image,
                       address, options, result);
  result.image =
      ReplaceNode(root, firmware, result.volume, std::move(volume), options.compress_progress);
  // What is written must parse as the image did: a volume whose header
  // checksum also covers its files (a HeaderLength past them) parses before
  // the change, not after it.
  try {
    WalkImage(result.image, walk);
  } catch (const FirmwareFormatError& e) {
    throw EditRefused(std::string("with the file added the image would not parse: ") + e.what());
  }
  return result;
}

}  // namespace clockramp::fv
