// Size figures of the firmware image and its firmware file, for the
// `clockramp image` report.
#ifndef CLOCKRAMP_IMAGE_IMAGEREPORT_H_
#define CLOCKRAMP_IMAGE_IMAGEREPORT_H_

#include <cstdint>
#include <ostream>
#include <string>

namespace clockramp::image {

// The goal the image is held to: it must fit this many bytes.
inline constexpr uint32_t kImageSizeGoal = 2048;

struct ImageFigures {
  uint32_t image_bytes = 0;   // ClockRamp.efi as a file
  uint32_t header_bytes = 0;  // SizeOfHeaders
  uint32_t code_bytes = 0;    // instructions (the map's .text contributions)
  uint32_t rodata_bytes = 0;  // read-only data merged into the code section
  // Empty when the lld-link map gave the two above; otherwise why they are
  // left out (both 0): the code section holds code and data alike.
  std::string without_map;
  uint32_t relocation_bytes = 0;     // the .reloc section's data
  uint32_t relocations = 0;          // base relocations that patch a word
  uint32_t firmware_file_bytes = 0;  // ClockRamp.ffs
  uint32_t te_image_bytes = 0;       // the image in stripped-header (TE) form
};

// Reads the image, its lld-link map (map_path, or the image path with .map
// for .efi when empty) and the firmware file. An image with no map beside it
// (one another linker made, EDK II's) gets every figure but the two the map
// gives. Throws std::runtime_error (or clockramp::pe::PeFormatError) when the
// image, the firmware file or a map that was named cannot be read.
ImageFigures ReadImageFigures(const std::string& efi_path, const std::string& ffs_path,
                              const std::string& map_path = "");

// One figure a line, and whether the image meets kImageSizeGoal; why the map's
// figures are left out, when they are.
void PrintImageFigures(std::ostream& out, const ImageFigures& figures);

}  // namespace clockramp::image

#endif  // CLOCKRAMP_IMAGE_IMAGEREPORT_H_
