// The stripped-header (TE) form of a PE32 image: the DOS stub, the PE and
// optional headers give way to a 40-byte TE header that keeps only what a
// PEI loader needs (machine, subsystem, entry point, base, the relocation and
// debug directories); the section table and the sections follow unchanged.
// An RVA r is found at TE file offset r - StrippedSize + 40.
#ifndef CLOCKRAMP_IMAGE_TEIMAGE_H_
#define CLOCKRAMP_IMAGE_TEIMAGE_H_

#include <cstdint>
#include <vector>

#include "image/PeImage.h"

namespace clockramp::pe {

inline constexpr uint16_t kTeSignature = 0x5A56;  // "VZ"
inline constexpr uint32_t kTeHeaderSize = 40;

struct TeHeader {
  uint16_t machine = 0;
  uint8_t number_of_sections = 0;
  uint8_t subsystem = 0;
  uint16_t stripped_size = 0;  // bytes of the PE file before its section table
  uint32_t entry_point = 0;    // RVA
  uint32_t base_of_code = 0;
  uint64_t image_base = 0;
  DataDirectory relocations;
  DataDirectory debug;
};

// The TE form of a PE32 image; throws PeFormatError when the image cannot
// have one (not PE32, more than 255 sections, headers over 64 KiB).
std::vector<uint8_t> BuildTeImage(const PeImage& image);

// Reads the TE header at the start of bytes; throws PeFormatError if there is none.
TeHeader ParseTeHeader(const std::vector<uint8_t>& bytes);

}  // namespace clockramp::pe

#endif  // CLOCKRAMP_IMAGE_TEIMAGE_H_
