#include "image/Rebase.h"

#include <cstdio>
#include <string>

namespace clockramp::pe {
namespace {

constexpr uint32_t kNewHeaderOffsetField = 0x3C;
// ImageBase in a PE32 optional header, after the signature (4) and the COFF header (20).
constexpr uint32_t kImageBaseField = 4 + 20 + 28;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

uint32_t Get32(const std::vector<uint8_t>& bytes, uint32_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

void Put32(std::vector<uint8_t>& bytes, uint32_t at, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

std::vector<uint8_t> RebaseImage(const PeImage& image, uint32_t new_base) {
  if (!image.IsPe32()) {
    throw PeFormatError("only a PE32 image can be rebased to a 32-bit address");
  }
  const uint32_t alignment = image.headers().section_alignment;
  if (alignment == 0 || new_base % alignment != 0) {
    throw PeFormatError("base " + Hex(new_base) + " is not a multiple of the section alignment " +
                        Hex(alignment));
  }
  std::vector<uint8_t> bytes = image.bytes();
  const auto delta = static_cast<uint32_t>(new_base - image.headers().image_base);
  for (const BaseRelocation& reloc : image.relocations()) {
    if (reloc.type != RelocationType::kHighLow) {
      throw PeFormatError(std::string(RelocationTypeName(reloc.type)) + " relocation at " +
                          Hex(reloc.rva) + " has no place in a PE32 image");
    }
    // All four bytes must be stored, one after the other.
    const std::optional<uint32_t> at = image.RvaToOffset(reloc.rva);
    if (!at || image.RvaToOffset(reloc.rva + 3) != *at + 3) {
      throw PeFormatError("relocation at " + Hex(reloc.rva) + " patches no stored byte");
    }
    Put32(bytes, *at, Get32(bytes, *at) + delta);
  }
  Put32(bytes, Get32(bytes, kNewHeaderOffsetField) + kImageBaseField, new_base);
  return bytes;
}

}  // namespace clockramp::pe
