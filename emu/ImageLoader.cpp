#include "emu/ImageLoader.h"

#include <algorithm>
#include <cstdio>

#include "emu/Machine.h"
#include "emu/MemoryMap.h"
#include "emu/Unicorn.h"

namespace emu {

namespace pe = clockramp::pe;

namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::string LoadedImage::Describe(uint32_t address) const {
  if (address < base || address - base >= size) {
    return {};
  }
  uint32_t rva = address - base;
  std::string text = "image+" + Hex(rva);
  for (const LoadedSection& s : sections) {
    if (address >= s.start && address - s.start < s.size) {
      text += " in " + s.name + (s.writable ? ", a writable section" : "");
      break;
    }
  }
  return text;
}

void CheckLoadable(const pe::PeImage& image, uint32_t address) {
  const pe::Headers& h = image.headers();
  if (!image.IsPe32() || h.machine != pe::kMachineI386) {
    throw EmuError("not a PE32 image for IA-32 (machine " + Hex(h.machine) + ", magic " +
                   Hex(h.magic) + ")");
  }
  for (const pe::BaseRelocation& reloc : image.relocations()) {
    if (reloc.type != pe::RelocationType::kHighLow) {
      throw EmuError(std::string("relocation of kind ") + pe::RelocationTypeName(reloc.type) +
                     " at RVA " + Hex(reloc.rva) +
                     ": only ABSOLUTE and HIGHLOW can be applied to an IA-32 image");
    }
  }
  if (address % 32 != 0) {
    throw EmuError("load address " + Hex(address) + " is not 32-byte aligned");
  }
  uint64_t end = uint64_t{address} + h.size_of_image;
  if (address < memmap::kFlashBase || end > memmap::kFlashEnd) {
    throw EmuError("the image (" + Hex(h.size_of_image) + " bytes) at " + Hex(address) +
                   " does not lie inside the flash window " + Hex(memmap::kFlashBase) + "-" +
                   Hex(memmap::kFlashEnd - 1));
  }
  if (h.entry_point == 0 || h.entry_point >= h.size_of_image) {
    throw EmuError("entry point RVA " + Hex(h.entry_point) + " is outside the image");
  }
}

namespace {

// Writes the image laid out for `address` and describes where it went.
LoadedImage Place(Machine& machine, const pe::PeImage& image, uint32_t address) {
  std::vector<uint8_t> memory = image.Load(address);
  machine.engine().Write(address, memory);

  LoadedImage loaded;
  loaded.base = address;
  loaded.size = image.headers().size_of_image;
  loaded.entry = address + image.headers().entry_point;
  for (const pe::Section& s : image.sections()) {
    loaded.sections.push_back(
        {s.name, address + s.virtual_address, std::max(s.virtual_size, s.raw_size), s.Writable()});
  }
  return loaded;
}

}  // namespace

LoadedImage LoadImage(Machine& machine, const pe::PeImage& image, uint32_t address) {
  CheckLoadable(image, address);
  return Place(machine, image, address);
}

void CheckRunsAtBase(const pe::PeImage& image) {
  const pe::Headers& h = image.headers();
  if (!image.IsPe32() || h.machine != pe::kMachineI386) {
    throw EmuError("not a PE32 image for IA-32 (machine " + Hex(h.machine) + ", magic " +
                   Hex(h.magic) + ")");
  }
  if (h.section_alignment == 0 || h.image_base % h.section_alignment != 0) {
    throw EmuError("ImageBase " + Hex(h.image_base) +
                   " is not a multiple of the section alignment " + Hex(h.section_alignment));
  }
  if (h.image_base + h.size_of_image > (uint64_t{1} << 32)) {
    throw EmuError("the image at its ImageBase " + Hex(h.image_base) + " runs past 4 GiB");
  }
  if (h.entry_point == 0 || h.entry_point >= h.size_of_image) {
    throw EmuError("entry point RVA " + Hex(h.entry_point) + " is outside the image");
  }
}

LoadedImage LoadImageAtBase(Machine& machine, const pe::PeImage& image) {
  CheckRunsAtBase(image);
  const auto base = static_cast<uint32_t>(image.headers().image_base);
  machine.MapImageWindow(base, image.headers().size_of_image);
  // Laid out at its own base, the relocations add nothing.
  return Place(machine, image, base);
}

}  // namespace emu
