// Small firmware images built for the walk and insert tests, laid out like a
// real one: a main flash volume whose volume-image file holds an
// LZMA-compressed GUID-defined section with a PEI volume (apriori file, pad
// file, PEI core, a PEIM) and a DXE volume, then a SEC volume at the top.
#ifndef CLOCKRAMP_TESTS_IMAGE_SAMPLEFIRMWARE_H_
#define CLOCKRAMP_TESTS_IMAGE_SAMPLEFIRMWARE_H_

#include <cstdint>
#include <vector>

#include "image/FvBuilder.h"

namespace clockramp::testing {

extern const fv::Guid kMainVolumeName;
extern const fv::Guid kPeiVolumeName;
extern const fv::Guid kDxeVolumeName;
extern const fv::Guid kSecVolumeName;
extern const fv::Guid kPeiCoreName;
extern const fv::Guid kOtherPeimName;
extern const fv::Guid kVariableVolumeName;

struct SampleOptions {
  bool compressed = true;         // the PEI and DXE volumes inside an LZMA section
  bool pad_after_apriori = true;  // a 0x40-byte pad file follows the apriori file
  uint32_t pei_volume_length = 0x8000;
  uint32_t filler = 0;           // bytes of one more PEIM in the PEI volume
  bool variable_volume = false;  // add a named volume of another file system
};

struct Sample {
  std::vector<uint8_t> image;
  std::vector<uint8_t> pei_volume;  // as built, before any change
  std::vector<uint8_t> dxe_volume;
  uint32_t main_length = 0;  // the main volume, at offset 0; the SEC volume follows
};

Sample BuildSample(const SampleOptions& options = {});

// Hostile images, built in a time and space linear in their size:
// `levels` volumes each inside a volume image section of a file of the one
// before (three levels of the tree apiece; about 100 bytes a level);
std::vector<uint8_t> NestedVolumes(size_t levels);
// a volume whose one LZMA section's header declares `declared` bytes but
// holds a stream of none;
std::vector<uint8_t> LzmaClaim(uint64_t declared);
// a volume holding a PEI core, named (so its files follow its extended
// header), whose HeaderLength claims 0xFFFE bytes: its header checksum, made
// valid, covers its files and its free space.
std::vector<uint8_t> WideHeaderVolume();

}  // namespace clockramp::testing

#endif  // CLOCKRAMP_TESTS_IMAGE_SAMPLEFIRMWARE_H_
