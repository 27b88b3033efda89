#include "image/PeImage.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "image/InputFile.h"
#include "image/Printable.h"

namespace clockramp::pe {
namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderOffsetField = 0x3C;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kRelocationBlockHeaderSize = 8;
constexpr uint32_t kMaxDataDirectories = 16;

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

// Little-endian reads that refuse to go past the end of the buffer.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  void Require(uint64_t offset, uint64_t size, const char* what) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) {
      throw PeFormatError(std::string(what) + " at offset " + Hex(offset) + " (" +
                          std::to_string(size) + " bytes) runs past the end of the " +
                          std::to_string(bytes_.size()) + "-byte image");
    }
  }
  [[nodiscard]] uint8_t U8(uint64_t offset, const char* what) const {
    Require(offset, 1, what);
    return bytes_[offset];
  }
  [[nodiscard]] uint16_t U16(uint64_t offset, const char* what) const {
    Require(offset, 2, what);
    return static_cast<uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
  }
  [[nodiscard]] uint32_t U32(uint64_t offset, const char* what) const {
    Require(offset, 4, what);
    return static_cast<uint32_t>(bytes_[offset]) |
           (static_cast<uint32_t>(bytes_[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes_[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes_[offset + 3]) << 24);
  }
  [[nodiscard]] uint64_t U64(uint64_t offset, const char* what) const {
    return U32(offset, what) | (static_cast<uint64_t>(U32(offset + 4, what)) << 32);
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

void AddToWord(std::vector<uint8_t>& memory, uint32_t offset, unsigned width, uint64_t delta) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value |= static_cast<uint64_t>(memory[offset + i]) << (8 * i);
  }
  value += delta;
  for (unsigned i = 0; i < width; ++i) {
    memory[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

const char* RelocationTypeName(RelocationType type) {
  switch (type) {
    case RelocationType::kAbsolute:
      return "ABSOLUTE";
    case RelocationType::kHighLow:
      return "HIGHLOW";
    case RelocationType::kDir64:
      return "DIR64";
  }
  return "?";
}

PeImage PeImage::Parse(std::vector<uint8_t> bytes) {
  PeImage image;
  image.bytes_ = std::move(bytes);
  image.ParseHeaders();
  image.ParseRelocations();
  return image;
}

PeImage PeImage::ReadFile(const std::string& path) {
  return Parse(files::ReadInput(path, files::kModuleFileLimit, "PE32 image"));
}

void PeImage::ParseHeaders() {
  Reader r(bytes_);
  r.Require(0, kDosHeaderSize, "DOS header");
  if (bytes_[0] != 'M' || bytes_[1] != 'Z') {
    throw PeFormatError("no MZ signature at offset 0");
  }
  const uint32_t pe_offset = r.U32(kNewHeaderOffsetField, "offset of the PE header");
  if (r.U32(pe_offset, "PE signature") != 0x00004550) {
    throw PeFormatError("no PE signature at offset " + Hex(pe_offset));
  }

  const uint64_t file_header = static_cast<uint64_t>(pe_offset) + 4;
  r.Require(file_header, kFileHeaderSize, "COFF file header");
  headers_.machine = r.U16(file_header, "machine");
  headers_.number_of_sections = r.U16(file_header + 2, "section count");
  headers_.time_date_stamp = r.U32(file_header + 4, "time stamp");
  const uint16_t optional_size = r.U16(file_header + 16, "optional header size");
  headers_.characteristics = r.U16(file_header + 18, "characteristics");

  const uint64_t opt = file_header + kFileHeaderSize;
  r.Require(opt, optional_size, "optional header");
  headers_.magic = r.U16(opt, "optional header magic");
  const bool plus = headers_.magic == kMagicPe32Plus;
  if (headers_.magic != kMagicPe32 && !plus) {
    throw PeFormatError("unknown optional header magic " + Hex(headers_.magic));
  }
  // The fixed part before the data directory: 96 bytes in PE32, 112 in PE32+.
  const uint32_t fixed_size = plus ? 112 : 96;
  if (optional_size < fixed_size) {
    throw PeFormatError("optional header of " + std::to_string(optional_size) +
                        " bytes is shorter than its fixed part");
  }
  headers_.size_of_code = r.U32(opt + 4, "SizeOfCode");
  headers_.entry_point = r.U32(opt + 16, "AddressOfEntryPoint");
  headers_.base_of_code = r.U32(opt + 20, "BaseOfCode");
  headers_.image_base = plus ? r.U64(opt + 24, "ImageBase") : r.U32(opt + 28, "ImageBase");
  headers_.section_alignment = r.U32(opt + 32, "SectionAlignment");
  headers_.file_alignment = r.U32(opt + 36, "FileAlignment");
  headers_.size_of_image = r.U32(opt + 56, "SizeOfImage");
  headers_.size_of_headers = r.U32(opt + 60, "SizeOfHeaders");
  headers_.subsystem = r.U16(opt + 68, "Subsystem");
  headers_.dll_characteristics = r.U16(opt + 70, "DllCharacteristics");
  const uint32_t count = r.U32(opt + fixed_size - 4, "NumberOfRvaAndSizes");
  if (count > kMaxDataDirectories || fixed_size + 8ULL * count > optional_size) {
    throw PeFormatError(std::to_string(count) + " data directories do not fit the " +
                        std::to_string(optional_size) + "-byte optional header");
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = opt + fixed_size + 8ULL * i;
    headers_.data_directories.push_back(
        {r.U32(entry, "data directory"), r.U32(entry + 4, "data directory")});
  }
  if (headers_.size_of_headers > bytes_.size()) {
    throw PeFormatError("SizeOfHeaders " + Hex(headers_.size_of_headers) +
                        " is beyond the end of the image");
  }
  ParseSections(static_cast<uint32_t>(opt + optional_size));
  if (headers_.entry_point >= headers_.size_of_image) {
    throw PeFormatError("entry point " + Hex(headers_.entry_point) + " lies outside the image");
  }
}

void PeImage::ParseSections(uint32_t table_offset) {
  Reader r(bytes_);
  r.Require(table_offset, static_cast<uint64_t>(headers_.number_of_sections) * kSectionHeaderSize,
            "section table");
  for (uint32_t i = 0; i < headers_.number_of_sections; ++i) {
    const uint32_t at = table_offset + i * kSectionHeaderSize;
    Section s;
    const auto* name = reinterpret_cast<const char*>(&bytes_[at]);
    // The name goes into messages: a hostile one may hold terminal escapes.
    s.name = files::Printable(std::string_view(name, strnlen(name, 8)));
    s.virtual_size = r.U32(at + 8, "section VirtualSize");
    s.virtual_address = r.U32(at + 12, "section VirtualAddress");
    s.raw_size = r.U32(at + 16, "section SizeOfRawData");
    s.raw_offset = r.U32(at + 20, "section PointerToRawData");
    s.characteristics = r.U32(at + 36, "section Characteristics");
    if (s.raw_size != 0) {
      r.Require(s.raw_offset, s.raw_size, ("raw data of section " + s.name).c_str());
    }
    const uint64_t extent =
        static_cast<uint64_t>(s.virtual_address) + std::max(s.virtual_size, s.raw_size);
    if (extent > headers_.size_of_image) {
      throw PeFormatError("section " + s.name + " ends at " + Hex(extent) +
                          ", beyond SizeOfImage " + Hex(headers_.size_of_image));
    }
    sections_.push_back(std::move(s));
  }
}

void PeImage::ParseRelocations() {
  const DataDirectory dir = Directory(kBaseRelocationDirectory);
  if (dir.size == 0) {
    return;
  }
  const std::optional<uint32_t> start = RvaToOffset(dir.rva);
  if (!start || !RvaToOffset(dir.rva + dir.size - 1)) {
    throw PeFormatError("base relocation table at " + Hex(dir.rva) + " (" +
                        std::to_string(dir.size) + " bytes) is not in the file");
  }
  Reader r(bytes_);
  uint32_t done = 0;
  while (done < dir.size) {
    const uint32_t block = *start + done;
    if (dir.size - done < kRelocationBlockHeaderSize) {
      throw PeFormatError("truncated base relocation block at offset " + Hex(block));
    }
    const uint32_t page = r.U32(block, "relocation block page");
    const uint32_t block_size = r.U32(block + 4, "relocation block size");
    if (block_size < kRelocationBlockHeaderSize || block_size % 2 != 0 ||
        block_size > dir.size - done) {
      throw PeFormatError("base relocation block at offset " + Hex(block) + " has size " +
                          std::to_string(block_size));
    }
    for (uint32_t e = kRelocationBlockHeaderSize; e < block_size; e += 2) {
      const uint16_t entry = r.U16(block + e, "relocation entry");
      const unsigned kind = entry >> 12;
      const uint32_t rva = page + (entry & 0x0FFFu);
      switch (kind) {
        case static_cast<unsigned>(RelocationType::kAbsolute):
          ++absolute_relocations_;
          continue;
        case static_cast<unsigned>(RelocationType::kHighLow):
        case static_cast<unsigned>(RelocationType::kDir64): {
          const auto type = static_cast<RelocationType>(kind);
          const uint32_t width = type == RelocationType::kHighLow ? 4 : 8;
          if (static_cast<uint64_t>(rva) + width > headers_.size_of_image) {
            throw PeFormatError(std::string(RelocationTypeName(type)) + " relocation at " +
                                Hex(rva) + " patches past the end of the image");
          }
          relocations_.push_back({rva, type});
          continue;
        }
        default:
          throw PeFormatError("unsupported base relocation type " + std::to_string(kind) +
                              " at RVA " + Hex(rva) + " (block at offset " + Hex(block) + ")");
      }
    }
    done += block_size;
  }
}

DataDirectory PeImage::Directory(uint32_t index) const {
  return index < headers_.data_directories.size() ? headers_.data_directories[index]
                                                  : DataDirectory{};
}

const Section* PeImage::FindSection(const std::string& name) const {
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [&](const Section& s) { return s.name == name; });
  return it == sections_.end() ? nullptr : &*it;
}

std::optional<uint32_t> PeImage::RvaToOffset(uint32_t rva) const {
  if (rva < headers_.size_of_headers) {
    return rva;
  }
  for (const Section& s : sections_) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
      return s.raw_offset + (rva - s.virtual_address);
    }
  }
  return std::nullopt;
}

std::vector<uint8_t> PeImage::Load(uint64_t load_address) const {
  std::vector<uint8_t> memory(headers_.size_of_image, 0);
  const size_t header_bytes = std::min<size_t>(headers_.size_of_headers, memory.size());
  std::copy_n(bytes_.begin(), header_bytes, memory.begin());
  for (const Section& s : sections_) {
    // Raw data past the virtual size is file alignment padding.
    const uint32_t size = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
    std::copy_n(bytes_.begin() + s.raw_offset, size, memory.begin() + s.virtual_address);
  }
  const uint64_t delta = load_address - headers_.image_base;
  for (const BaseRelocation& reloc : relocations_) {
    AddToWord(memory, reloc.rva, reloc.type == RelocationType::kHighLow ? 4 : 8, delta);
  }
  return memory;
}

std::optional<std::string> InPlaceFault(const PeImage& image) {
  for (const Section& s : image.sections()) {
    if (s.raw_size != 0 && s.raw_offset != s.virtual_address) {
      return "section " + s.name + " lies at file offset " + Hex(s.raw_offset) +
             " but runs at RVA " + Hex(s.virtual_address);
    }
    if (s.virtual_size > s.raw_size) {
      return "section " + s.name + " needs " + Hex(s.virtual_size) + " bytes of memory at RVA " +
             Hex(s.virtual_address) + " but holds " + Hex(s.raw_size) +
             " in the file: the rest would be zeroed over what follows the image";
    }
  }
  if (image.headers().size_of_image > image.bytes().size()) {
    return "SizeOfImage " + Hex(image.headers().size_of_image) + " reaches past the file's " +
           Hex(image.bytes().size()) + " bytes";
  }
  return std::nullopt;
}

}  // namespace clockramp::pe
