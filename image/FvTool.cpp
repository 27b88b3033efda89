// clockramp-fv: packages ClockRamp.efi as a PEIM firmware file and a firmware
// volume holding it.
//   clockramp-fv <image.efi> <out.ffs> <out.fv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "image/FvBuilder.h"
#include "image/PeImage.h"

namespace {

void WriteFile(const char* path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error(std::string("cannot write ") + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: clockramp-fv <image.efi> <out.ffs> <out.fv>\n";
    return 2;
  }
  try {
    // Parsing first: only a well-formed PE32 image is packaged.
    const clockramp::pe::PeImage image = clockramp::pe::PeImage::ReadFile(argv[1]);
    if (!image.IsPe32()) {
      throw std::runtime_error(std::string(argv[1]) + " is not a PE32 image");
    }
    const std::vector<uint8_t> ffs = clockramp::fv::BuildPeimFile(image.bytes());
    WriteFile(argv[2], ffs);
    WriteFile(argv[3], clockramp::fv::BuildFirmwareVolume({ffs}));
  } catch (const std::exception& e) {
    std::cerr << "clockramp-fv: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
