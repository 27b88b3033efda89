#include "image/EdkModule.h"

namespace clockramp::fv {

std::string BuildBinaryInf(const BinaryModule& module) {
  return "## @file\n"
         "#  " +
         module.base_name +
         ": ramps the SMBus clock generator to the frequency code\n"
         "#  held in the \"Setup\" variable. A binary module: the image and its PEI\n"
         "#  dependency expression as clockramp built them.\n"
         "##\n"
         "\n"
         "[Defines]\n"
         "  INF_VERSION                    = 0x00010005\n"
         "  BASE_NAME                      = " +
         module.base_name +
         "\n"
         "  FILE_GUID                      = " +
         module.file_guid.ToString() +
         "\n"
         "  MODULE_TYPE                    = PEIM\n"
         "  VERSION_STRING                 = 1.0\n"
         "\n"
         "[Binaries.Ia32]\n"
         "  PE32|" +
         module.image_file +
         "\n"
         "  PEI_DEPEX|" +
         module.depex_file + "\n";
}

}  // namespace clockramp::fv
