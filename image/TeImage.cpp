#include "image/TeImage.h"

namespace clockramp::pe {
namespace {

constexpr uint32_t kDebugDirectory = 6;

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  Put16(out, at, value);
  Put16(out, at + 2, value >> 16);
}

uint32_t Get16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return Get16(b, at) | (Get16(b, at + 2) << 16);
}

}  // namespace

std::vector<uint8_t> BuildTeImage(const PeImage& image) {
  const Headers& h = image.headers();
  if (!image.IsPe32()) {
    throw PeFormatError("a TE image is made from a PE32 image only");
  }
  if (h.number_of_sections > 0xFF) {
    throw PeFormatError("a TE header holds at most 255 sections");
  }
  // Everything before the section table is stripped: the PE header offset,
  // signature, COFF header and optional header.
  const std::vector<uint8_t>& pe = image.bytes();
  const uint32_t pe_offset = Get32(pe, 0x3C);
  const uint32_t optional_size = Get16(pe, pe_offset + 4 + 16);
  const uint32_t stripped = pe_offset + 4 + 20 + optional_size;
  if (stripped > 0xFFFF) {
    throw PeFormatError("PE headers of " + std::to_string(stripped) + " bytes are too large for TE");
  }
  // A section placed before the TE header's end could not be reached.
  for (const Section& s : image.sections()) {
    if (s.raw_size != 0 && s.raw_offset < stripped) {
      throw PeFormatError("section " + s.name + " lies in the stripped headers");
    }
  }

  std::vector<uint8_t> te(kTeHeaderSize, 0);
  Put16(te, 0, kTeSignature);
  Put16(te, 2, h.machine);
  te[4] = static_cast<uint8_t>(h.number_of_sections);
  te[5] = static_cast<uint8_t>(h.subsystem);
  Put16(te, 6, stripped);
  Put32(te, 8, h.entry_point);
  Put32(te, 12, h.base_of_code);
  Put32(te, 16, static_cast<uint32_t>(h.image_base));
  Put32(te, 20, static_cast<uint32_t>(h.image_base >> 32));
  const DataDirectory relocations = image.Directory(kBaseRelocationDirectory);
  const DataDirectory debug = image.Directory(kDebugDirectory);
  Put32(te, 24, relocations.rva);
  Put32(te, 28, relocations.size);
  Put32(te, 32, debug.rva);
  Put32(te, 36, debug.size);
  te.insert(te.end(), pe.begin() + stripped, pe.end());
  return te;
}

TeHeader ParseTeHeader(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kTeHeaderSize || Get16(bytes, 0) != kTeSignature) {
    throw PeFormatError("no TE header");
  }
  TeHeader h;
  h.machine = static_cast<uint16_t>(Get16(bytes, 2));
  h.number_of_sections = bytes[4];
  h.subsystem = bytes[5];
  h.stripped_size = static_cast<uint16_t>(Get16(bytes, 6));
  h.entry_point = Get32(bytes, 8);
  h.base_of_code = Get32(bytes, 12);
  h.image_base = Get32(bytes, 16) | (static_cast<uint64_t>(Get32(bytes, 20)) << 32);
  h.relocations = {Get32(bytes, 24), Get32(bytes, 28)};
  h.debug = {Get32(bytes, 32), Get32(bytes, 36)};
  return h;
}

}  // namespace clockramp::pe
