// clockramp-fv: packages ClockRamp.efi as a PEIM firmware file and a firmware
// volume holding it; with --te, the image goes in its stripped-header (TE) form.
//   clockramp-fv [--te] <image.efi> <out.ffs> <out.fv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "image/FvBuilder.h"
#include "image/PeImage.h"
#include "image/TeImage.h"

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
  const bool te = argc == 5 && std::strcmp(argv[1], "--te") == 0;
  if (argc != 4 && !te) {
    std::cerr << "usage: clockramp-fv [--te] <image.efi> <out.ffs> <out.fv>\n";
    return 2;
  }
  char** paths = argv + (te ? 2 : 1);
  try {
    namespace fv = clockramp::fv;
    namespace pe = clockramp::pe;
    // Parsing first: only a well-formed PE32 image is packaged.
    const pe::PeImage image = pe::PeImage::ReadFile(paths[0]);
    if (!image.IsPe32()) {
      throw std::runtime_error(std::string(paths[0]) + " is not a PE32 image");
    }
    // The image's sections keep their alignment in flash only if its base
    // does; files give 8 bytes, and no more is asked for.
    fv::PeimOptions options;
    options.body_alignment = image.headers().section_alignment;
    std::vector<uint8_t> body = image.bytes();
    if (te) {
      body = pe::BuildTeImage(image);
      options.image_section_type = fv::kSectionTe;
      // The TE body starts where the PE image's section table was, less the
      // TE header: that far past the image's base.
      const uint32_t offset = pe::ParseTeHeader(body).stripped_size - pe::kTeHeaderSize;
      options.body_skew = offset % options.body_alignment;
    }
    const std::vector<uint8_t> ffs = fv::BuildPeimFile(body, options);
    WriteFile(paths[1], ffs);
    WriteFile(paths[2], fv::BuildFirmwareVolume({ffs}));
  } catch (const std::exception& e) {
    std::cerr << "clockramp-fv: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
