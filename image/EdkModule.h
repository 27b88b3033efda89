// The module as an EDK II binary module: an INF that names the built image
// and its dependency expression, so that a platform's FDF can place them in a
// PEIM file with a binary rule, and the dependency expression itself (the
// bytes of the PEI depex section of our own firmware file).
#ifndef CLOCKRAMP_IMAGE_EDKMODULE_H_
#define CLOCKRAMP_IMAGE_EDKMODULE_H_

#include <string>

#include "image/FvBuilder.h"

namespace clockramp::fv {

struct BinaryModule {
  std::string base_name = "ClockRamp";
  Guid file_guid = kClockRampFileGuid;
  std::string image_file = "ClockRamp.efi";  // relative to the INF
  std::string depex_file = "ClockRamp.depex";
};

// The INF text: [Defines] with INF_VERSION 0x00010005, MODULE_TYPE PEIM and
// the FILE_GUID, and [Binaries.Ia32] naming the image (PE32) and the
// dependency expression (PEI_DEPEX).
std::string BuildBinaryInf(const BinaryModule& module = {});

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_EDKMODULE_H_
