// clockramp-image-report <image.efi> <image.ffs>: prints the image's size figures.
#include <iostream>

#include "image/ImageReport.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: clockramp-image-report <image.efi> <image.ffs>\n";
    return 2;
  }
  try {
    clockramp::image::PrintImageFigures(std::cout, clockramp::image::ReadImageFigures(argv[1], argv[2]));
  } catch (const std::exception& e) {
    std::cerr << "clockramp-image-report: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
