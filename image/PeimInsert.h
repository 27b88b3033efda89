// Adding the module's PEIM file to an existing firmware image: find the
// volume (the one holding the PEI core, or one named by GUID), rebase the
// image for the address it will run at, place the file at the alignment the
// image needs, optionally list it in the PEI apriori file, and write every
// container on the way back up (FirmwareEdit.h). The image keeps its size.
#ifndef CLOCKRAMP_IMAGE_PEIMINSERT_H_
#define CLOCKRAMP_IMAGE_PEIMINSERT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/FirmwareEdit.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/PeImage.h"

namespace clockramp::fv {

struct InsertOptions {
  // The volume by its name (extended header); the one holding the PEI core when unset.
  std::optional<Guid> volume;
  // Where the image is mapped: its last byte at 4 GiB - 1 unless given.
  std::optional<uint64_t> flash_base;
  // Where the chosen volume runs when it is not mapped in place (a volume
  // decompressed to RAM): required then; overrides the flash address otherwise.
  std::optional<uint64_t> run_address;
  bool apriori = false;  // list the file last in the PEI apriori file
  bool replace = false;  // take out a file of the same name first
  PeimOptions peim;      // the file's name, depex and UI name
  // The limits of the walks over the image and over the result, and their
  // decompression progress (damage always refuses the image).
  WalkOptions walk;
  // Told how far compressing an LZMA section again has come.
  LzmaProgress compress_progress;
};

struct InsertResult {
  std::vector<uint8_t> image;
  NodePath volume;  // in the walk of the original image
  std::optional<Guid> volume_name;
  uint64_t volume_address = 0;
  uint64_t file_offset = 0;  // in the volume
  uint32_t image_base = 0;   // the rebased image's ImageBase
  std::vector<uint8_t> rebased;
  bool replaced = false;
  bool listed_apriori = false;
};

// Chooses the volume: the one named, else the file system volume holding the
// PEI core. Throws EditRefused when there is none, or when the named volume is
// not a firmware file system.
NodePath ChooseVolume(const Node& root, const std::optional<Guid>& name);

// Where a volume runs: the run address when given, else flash base + its
// offset when it is stored as it is mapped. Throws EditRefused when neither,
// or when the image or the volume would reach past 4 GiB.
uint64_t VolumeAddress(const Node& root, const NodePath& volume, const InsertOptions& options);

// The volume's bytes with the file of `image` (rebased for `volume_address`)
// added; `result` gets the offsets and the rebased image. Throws EditRefused.
std::vector<uint8_t> InsertIntoVolume(const Node& volume, std::vector<uint8_t> bytes,
                                      const pe::PeImage& image, uint64_t volume_address,
                                      const InsertOptions& options, InsertResult& result);

// The whole job on an image. Throws FirmwareFormatError when the image does
// not parse and EditRefused when the change cannot be made, or when the
// result would not parse (a header checksum that covers the new file, for
// one): the result is walked as the image was.
InsertResult InsertPeim(std::span<const uint8_t> firmware, const pe::PeImage& image,
                        const InsertOptions& options);

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_PEIMINSERT_H_
