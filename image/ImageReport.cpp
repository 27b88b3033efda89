#include "image/ImageReport.h"

#include <filesystem>
#include <stdexcept>

#include "image/LinkMap.h"
#include "image/PeImage.h"
#include "image/TeImage.h"

namespace clockramp::image {

ImageFigures ReadImageFigures(const std::string& efi_path, const std::string& ffs_path,
                              const std::string& map_path) {
  const pe::PeImage image = pe::PeImage::ReadFile(efi_path);
  const std::string map_file =
      map_path.empty() ? std::filesystem::path(efi_path).replace_extension(".map").string()
                       : map_path;

  ImageFigures figures;
  figures.image_bytes = static_cast<uint32_t>(image.bytes().size());
  figures.header_bytes = image.headers().size_of_headers;
  std::error_code missing;
  if (map_path.empty() && !std::filesystem::exists(map_file, missing)) {
    figures.without_map = "no lld-link map beside the image (" + map_file +
                          "), and only the map tells its code from the read-only data merged "
                          "into the same section";
  } else {
    const LinkMap map = LinkMap::ReadFile(map_file);
    figures.code_bytes = map.ContributionBytes(".text");
    figures.rodata_bytes = map.ContributionBytes(".rdata");
  }
  figures.relocation_bytes = image.Directory(pe::kBaseRelocationDirectory).size;
  figures.relocations = static_cast<uint32_t>(image.relocations().size());
  std::error_code error;
  const auto ffs_size = std::filesystem::file_size(ffs_path, error);
  if (error) {
    throw std::runtime_error("cannot read the size of " + ffs_path + ": " + error.message());
  }
  figures.firmware_file_bytes = static_cast<uint32_t>(ffs_size);
  figures.te_image_bytes = static_cast<uint32_t>(pe::BuildTeImage(image).size());
  return figures;
}

void PrintImageFigures(std::ostream& out, const ImageFigures& f) {
  out << "image:          " << f.image_bytes << " bytes ("
      << (f.image_bytes <= kImageSizeGoal ? "within" : "OVER") << " the " << kImageSizeGoal
      << "-byte goal)\n"
      << "  headers:      " << f.header_bytes << " bytes\n";
  if (f.without_map.empty()) {
    out << "  code:         " << f.code_bytes << " bytes\n"
        << "  rodata:       " << f.rodata_bytes << " bytes\n";
  } else {
    out << "  code, rodata: left out: " << f.without_map << "\n";
  }
  out << "  relocations:  " << f.relocations << " (" << f.relocation_bytes << " bytes of table)\n"
      << "firmware file:  " << f.firmware_file_bytes << " bytes\n"
      << "TE form:        " << f.te_image_bytes << " bytes\n";
}

}  // namespace clockramp::image
