#include "image/FvBuilder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace clockramp::fv {
namespace {

constexpr uint8_t kFvRevision = 2;

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put24(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (unsigned i = 0; i < 3; ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint32_t Get24(const std::vector<uint8_t>& in, size_t at) {
  return in[at] | (in[at + 1] << 8) | (static_cast<uint32_t>(in[at + 2]) << 16);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  // Resize and copy rather than insert: GCC 12 at -O3 reports a false
  // -Warray-bounds in the inlined vector::insert.
  size_t at = out.size();
  out.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

// log2 of the data alignments a file can declare, by the three-bit field,
// without and with FFS_ATTRIB_DATA_ALIGNMENT_2.
constexpr std::array<uint8_t, 8> kDataAlignmentLog2 = {0, 4, 7, 9, 10, 12, 15, 16};
constexpr std::array<uint8_t, 8> kDataAlignment2Log2 = {17, 18, 19, 20, 21, 22, 23, 24};

bool PowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

uint32_t Log2(uint64_t value) {
  uint32_t log = 0;
  while ((value >>= 1) != 0) {
    ++log;
  }
  return log;
}

// The sections of the PEIM file up to, not including, the image section: the
// dependency expression and, when the body would be misaligned, a raw
// section that pads it to its place.
std::vector<uint8_t> LeadingSections(const PeimOptions& options) {
  if (!PowerOfTwo(options.body_alignment) || options.body_alignment > kMaxFileDataAlignment) {
    throw std::invalid_argument("image body alignment " + std::to_string(options.body_alignment) +
                                " is not a power of two up to 16 MiB");
  }
  std::vector<uint8_t> out = BuildSection(kSectionPeiDepex, PeimDepex(options));
  out.resize(AlignUp(out.size(), kSectionAlignment), 0);
  // From the start of the file's data, the body follows these sections and
  // its own header. (Up to 8 the file's start serves as well: its header is
  // a multiple of 8.)
  const uint64_t body = out.size() + kSectionHeaderSize;
  const uint64_t alignment = options.body_alignment;
  const uint64_t pad = (alignment - (body - options.body_skew) % alignment) % alignment;
  if (pad != 0) {
    // A raw section is at least its header; one a whole alignment longer
    // than too short a pad puts the body at the next boundary.
    const uint64_t size = pad < kSectionHeaderSize ? pad + alignment : pad;
    if (size % kSectionAlignment != 0) {
      throw std::invalid_argument("the image body cannot be placed " +
                                  std::to_string(options.body_skew) + " bytes past a " +
                                  std::to_string(options.body_alignment) + "-byte boundary");
    }
    Append(out, BuildSection(kSectionRaw, std::vector<uint8_t>(size - kSectionHeaderSize, 0)));
  }
  return out;
}

}  // namespace

const Guid kClockRampFileGuid = Guid::Parse("0444A79F-3154-4B14-9D8E-73CFD19CDF05");
const Guid kPcdPpiGuid = Guid::Parse("06E81C58-4AD7-44BC-8390-F10265F72480");
const Guid kFirmwareFileSystem2Guid = Guid::Parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const Guid kFirmwareFileSystem3Guid = Guid::Parse("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
const Guid kLzmaSectionGuid = Guid::Parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
const Guid kPeiAprioriFileGuid = Guid::Parse("1B45CC0A-156A-428A-AF62-49864DA0E6E6");

uint8_t DataAlignmentAttributes(uint32_t alignment) {
  if (!PowerOfTwo(alignment) || alignment > kMaxFileDataAlignment) {
    throw std::invalid_argument("no file can declare a data alignment of " +
                                std::to_string(alignment));
  }
  if (alignment <= kFileAlignment) {
    return 0;
  }
  const uint32_t log = Log2(alignment);
  for (size_t field = 0; field < kDataAlignmentLog2.size(); ++field) {
    if (kDataAlignmentLog2[field] >= log) {
      return static_cast<uint8_t>(field << 3);
    }
  }
  for (size_t field = 0; field < kDataAlignment2Log2.size(); ++field) {
    if (kDataAlignment2Log2[field] >= log) {
      return static_cast<uint8_t>((field << 3) | kFfsAttribDataAlignment2);
    }
  }
  return 0;  // not reached: 16 MiB is the last entry
}

uint32_t FileDataAlignment(uint8_t attributes) {
  const uint32_t field = (attributes & kFfsAttribDataAlignment) >> 3;
  return 1U << ((attributes & kFfsAttribDataAlignment2) != 0 ? kDataAlignment2Log2[field]
                                                             : kDataAlignmentLog2[field]);
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

uint8_t StoredState(uint8_t state, bool erase_polarity) {
  return erase_polarity ? static_cast<uint8_t>(~state) : state;
}

Guid Guid::Parse(std::string_view text) {
  // 8-4-4-4-12 hexadecimal digits.
  static constexpr std::array<size_t, 4> kDashes = {8, 13, 18, 23};
  if (text.size() != 36) {
    throw std::invalid_argument("not a GUID: " + std::string(text));
  }
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == kDashes[0] || i == kDashes[1] || i == kDashes[2] || i == kDashes[3];
    const char c = text[i];
    if (dash != (c == '-') || (!dash && !std::isxdigit(static_cast<unsigned char>(c)))) {
      throw std::invalid_argument("not a GUID: " + std::string(text));
    }
    if (!dash) {
      hex += c;
    }
  }
  const auto field = [&](size_t at, size_t digits) {
    return std::stoul(hex.substr(at, digits), nullptr, 16);
  };
  Guid g;
  g.data1 = static_cast<uint32_t>(field(0, 8));
  g.data2 = static_cast<uint16_t>(field(8, 4));
  g.data3 = static_cast<uint16_t>(field(12, 4));
  for (size_t i = 0; i < g.data4.size(); ++i) {
    g.data4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
  }
  return g;
}

std::string Guid::ToString() const {
  char text[37];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1,
                data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6],
                data4[7]);
  return text;
}

std::array<uint8_t, 16> Guid::Bytes() const {
  std::array<uint8_t, 16> b{};
  for (unsigned i = 0; i < 4; ++i) {
    b[i] = static_cast<uint8_t>(data1 >> (8 * i));
  }
  b[4] = static_cast<uint8_t>(data2);
  b[5] = static_cast<uint8_t>(data2 >> 8);
  b[6] = static_cast<uint8_t>(data3);
  b[7] = static_cast<uint8_t>(data3 >> 8);
  for (unsigned i = 0; i < 8; ++i) {
    b[8 + i] = data4[i];
  }
  return b;
}

Guid Guid::FromBytes(std::span<const uint8_t> bytes) {
  Guid g;
  g.data1 = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  g.data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
  g.data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
  std::copy_n(bytes.begin() + 8, 8, g.data4.begin());
  return g;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

uint8_t Sum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
  }
  return sum;
}

uint16_t Sum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<uint16_t>(sum + (bytes[i] | (bytes[i + 1] << 8)));
  }
  return sum;
}

std::vector<uint8_t> BuildSection(uint8_t type, std::span<const uint8_t> body) {
  const size_t size = kSectionHeaderSize + body.size();
  if (size > kMaxStandardSize) {
    throw std::invalid_argument("section of " + std::to_string(size) + " bytes is too large");
  }
  std::vector<uint8_t> out(kSectionHeaderSize);
  Put24(out, 0, static_cast<uint32_t>(size));
  out[3] = type;
  Append(out, body);
  return out;
}

std::vector<uint8_t> BuildAnySizeSection(uint8_t type, std::span<const uint8_t> header_fields,
                                         std::span<const uint8_t> body) {
  const uint64_t standard = kSectionHeaderSize + header_fields.size() + body.size();
  const bool extended = standard >= kMaxStandardSize;
  const uint64_t size = standard + (extended ? kLargeSectionHeaderSize - kSectionHeaderSize : 0);
  if (size > 0xFFFFFFFFULL) {
    throw std::invalid_argument("section of " + std::to_string(size) + " bytes is too large");
  }
  std::vector<uint8_t> out(extended ? kLargeSectionHeaderSize : kSectionHeaderSize);
  Put24(out, 0, extended ? kMaxStandardSize : static_cast<uint32_t>(size));
  out[3] = type;
  if (extended) {
    Put32(out, 4, static_cast<uint32_t>(size));
  }
  Append(out, header_fields);
  Append(out, body);
  return out;
}

std::vector<uint8_t> BuildGuidDefinedSection(const Guid& definition, uint16_t attributes,
                                             std::span<const uint8_t> data) {
  // GUID, data offset, attributes; the offset counts the common header, whose
  // form depends on the whole size.
  std::vector<uint8_t> fields(20, 0);
  const std::array<uint8_t, 16> guid = definition.Bytes();
  std::copy(guid.begin(), guid.end(), fields.begin());
  Put16(fields, 18, attributes);
  std::vector<uint8_t> section = BuildAnySizeSection(kSectionGuidDefined, fields, data);
  const uint32_t common =
      Get24(section, 0) == kMaxStandardSize ? kLargeSectionHeaderSize : kSectionHeaderSize;
  Put16(section, common + 16, static_cast<uint16_t>(common + fields.size()));
  return section;
}

std::vector<uint8_t> BuildDepexRequiring(const Guid& ppi) {
  std::vector<uint8_t> out{kDepexPush};
  Append(out, ppi.Bytes());
  out.push_back(kDepexEnd);
  return out;
}

std::vector<uint8_t> Utf16Name(std::string_view ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    if (static_cast<unsigned char>(c) > 0x7F) {
      throw std::invalid_argument("name is not ASCII");
    }
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

uint32_t ImageBodyOffset(const PeimOptions& options) {
  return kFfsFileHeaderSize + static_cast<uint32_t>(LeadingSections(options).size()) +
         kSectionHeaderSize;
}

std::vector<uint8_t> PeimDepex(const PeimOptions& options) {
  return BuildDepexRequiring(options.required_ppi);
}

void SealFile(std::vector<uint8_t>& file) {
  const bool large = (file[19] & kFfsAttribLargeFile) != 0;
  const uint32_t header = large ? kFfsLargeFileHeaderSize : kFfsFileHeaderSize;
  if (file.size() < header) {
    throw std::invalid_argument("a file is shorter than its header");
  }
  if (large) {
    Put24(file, 20, 0);
    Put32(file, 24, static_cast<uint32_t>(file.size()));
    Put32(file, 28, static_cast<uint32_t>(static_cast<uint64_t>(file.size()) >> 32));
  } else if (file.size() > kMaxStandardSize) {
    throw std::invalid_argument("file of " + std::to_string(file.size()) +
                                " bytes needs a large-file header");
  } else {
    Put24(file, 20, static_cast<uint32_t>(file.size()));
  }
  const std::span<const uint8_t> data = std::span(file).subspan(header);
  // The header checksum makes the header sum to zero with the file checksum
  // (byte 17) and the state (byte 23) counted as zero.
  const uint8_t state = file[23];
  file[16] = 0;
  file[17] = 0;
  file[23] = 0;
  file[16] = static_cast<uint8_t>(0x100 - Sum8(std::span(file).first(header)));
  // The data checksum makes the data and it sum to zero; without the
  // attribute it is the fixed value.
  file[17] = (file[19] & kFfsAttribChecksum) != 0 ? static_cast<uint8_t>(0x100 - Sum8(data))
                                                  : kFixedFileChecksum;
  file[23] = state;
}

std::vector<uint8_t> BuildFile(const Guid& name, uint8_t type, uint8_t attributes,
                               std::span<const uint8_t> data, bool erase_polarity) {
  const bool large = (attributes & kFfsAttribLargeFile) != 0;
  std::vector<uint8_t> file(large ? kFfsLargeFileHeaderSize : kFfsFileHeaderSize, 0);
  const std::array<uint8_t, 16> bytes = name.Bytes();
  std::copy(bytes.begin(), bytes.end(), file.begin());
  file[18] = type;
  file[19] = attributes;
  // A completely written file.
  file[23] = StoredState(kFileWrittenState, erase_polarity);
  Append(file, data);
  SealFile(file);
  return file;
}

std::vector<uint8_t> BuildPadFile(uint32_t size, bool erase_polarity) {
  if (size < kFfsFileHeaderSize) {
    throw std::invalid_argument("a pad file of " + std::to_string(size) +
                                " bytes has no room for its header");
  }
  Guid none;
  none.data1 = 0xFFFFFFFF;
  none.data2 = 0xFFFF;
  none.data3 = 0xFFFF;
  none.data4.fill(0xFF);
  return BuildFile(none, kFileTypePad, 0,
                   std::vector<uint8_t>(size - kFfsFileHeaderSize, erase_polarity ? 0xFF : 0x00),
                   erase_polarity);
}

std::vector<uint8_t> BuildAprioriFile(const std::vector<Guid>& files, bool erase_polarity) {
  std::vector<uint8_t> list;
  for (const Guid& g : files) {
    Append(list, g.Bytes());
  }
  return BuildFile(kPeiAprioriFileGuid, kFileTypeFreeform, kFfsAttribChecksum,
                   BuildSection(kSectionRaw, list), erase_polarity);
}

std::vector<uint8_t> BuildPeimFile(std::span<const uint8_t> image, const PeimOptions& options) {
  std::vector<uint8_t> data = LeadingSections(options);
  Append(data, BuildSection(options.image_section_type, image));
  data.resize(AlignUp(data.size(), kSectionAlignment), 0);
  Append(data, BuildSection(kSectionUserInterface, Utf16Name(options.ui_name)));
  return BuildFile(options.file_guid, kFileTypePeim,
                   kFfsAttribChecksum | DataAlignmentAttributes(options.body_alignment), data,
                   options.erase_polarity);
}

std::vector<uint8_t> BuildFirmwareVolume(const std::vector<std::vector<uint8_t>>& files,
                                         const VolumeOptions& options) {
  if (options.block_size == 0 || options.block_size % kFileAlignment != 0) {
    throw std::invalid_argument("block size must be a non-zero multiple of 8");
  }
  // Fixed header, one block map entry, the terminating zero entry.
  const uint32_t header_size = kFvHeaderFixedSize + 2 * 8;
  // The extended header: the name and its own size.
  constexpr uint32_t kExtHeaderSize = 20;
  const uint32_t first_file = static_cast<uint32_t>(
      AlignUp(header_size + (options.name ? kExtHeaderSize : 0), kFileAlignment));
  // Each file at the first 8-byte boundary that puts its data at its
  // alignment, with a pad file (a header at least) before it otherwise.
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> pads;  // where a pad file starts before the file, or 0
  uint64_t used = first_file;
  uint32_t largest = kFileAlignment;
  for (const std::vector<uint8_t>& file : files) {
    const uint64_t first = AlignUp(used, kFileAlignment);
    const uint32_t alignment = file.size() > 19 ? FileDataAlignment(file[19]) : 1;
    const uint64_t header = (file.size() > 19 && (file[19] & kFfsAttribLargeFile) != 0)
                                ? kFfsLargeFileHeaderSize
                                : kFfsFileHeaderSize;
    largest = std::max(largest, alignment);
    uint64_t at = first;
    if ((at + header) % alignment != 0) {
      at = AlignUp(first + kFfsFileHeaderSize + header, alignment) - header;
    }
    pads.push_back(at == first ? 0 : first);
    offsets.push_back(at);
    used = at + file.size();
  }
  uint32_t attributes = options.attributes;
  if ((attributes & kFvbWeakAlignment) == 0 &&
      ((attributes & kFvbAlignmentMask) >> 16) < Log2(largest)) {
    attributes = (attributes & ~kFvbAlignmentMask) | (Log2(largest) << 16);
  }
  if (used > 0xFFFFFFFFULL) {
    throw std::invalid_argument("the files need a volume larger than 4 GiB");
  }
  used = std::max<uint64_t>(used, options.min_length);
  const auto blocks = static_cast<uint32_t>((used + options.block_size - 1) / options.block_size);
  const uint32_t length = blocks * options.block_size;

  const bool erase_polarity = (options.attributes & kFvbErasePolarity) != 0;
  std::vector<uint8_t> fv(length, erase_polarity ? 0xFF : 0x00);
  std::fill(fv.begin(), fv.begin() + header_size, 0);  // zero vector and reserved fields
  const std::array<uint8_t, 16> fs = options.file_system.Bytes();
  std::copy(fs.begin(), fs.end(), fv.begin() + 16);
  Put32(fv, 32, length);  // FvLength, 64 bits
  Put32(fv, 36, 0);
  fv[40] = '_';
  fv[41] = 'F';
  fv[42] = 'V';
  fv[43] = 'H';
  Put32(fv, 44, attributes);
  Put16(fv, 48, static_cast<uint16_t>(header_size));
  Put16(fv, 52, static_cast<uint16_t>(options.name ? header_size : 0));
  fv[55] = kFvRevision;
  Put32(fv, 56, blocks);
  Put32(fv, 60, options.block_size);
  // Bytes 64..71 stay zero: the block map's end.
  Put16(fv, 50, static_cast<uint16_t>(0x10000 - Sum16(std::span(fv).first(header_size))));
  if (options.name) {
    const std::array<uint8_t, 16> name = options.name->Bytes();
    std::copy(name.begin(), name.end(), fv.begin() + header_size);
    Put32(fv, header_size + 16, kExtHeaderSize);
  }

  for (size_t i = 0; i < files.size(); ++i) {
    if (pads[i] != 0) {
      const std::vector<uint8_t> pad =
          BuildPadFile(static_cast<uint32_t>(offsets[i] - pads[i]), erase_polarity);
      std::copy(pad.begin(), pad.end(), fv.begin() + static_cast<std::ptrdiff_t>(pads[i]));
    }
    // Between files the gap keeps the erased value, as flash would.
    std::copy(files[i].begin(), files[i].end(),
              fv.begin() + static_cast<std::ptrdiff_t>(offsets[i]));
  }
  return fv;
}

}  // namespace clockramp::fv
