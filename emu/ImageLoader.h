// Places a PE32 image in the emulated flash so that it runs in place: the
// image laid out at a chosen 32-byte-aligned address inside the flash window,
// its base relocations applied for that address, nothing of it writable.
#ifndef CLOCKRAMP_EMU_IMAGELOADER_H_
#define CLOCKRAMP_EMU_IMAGELOADER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "image/PeImage.h"

namespace emu {

class Machine;

struct LoadedSection {
  std::string name;
  uint32_t start = 0;  // guest address
  uint32_t size = 0;   // in memory (the larger of raw and virtual size)
  bool writable = false;
};

struct LoadedImage {
  uint32_t base = 0;   // guest address of the image (its headers)
  uint32_t size = 0;   // SizeOfImage
  uint32_t entry = 0;  // guest address of the entry point
  std::vector<LoadedSection> sections;

  // "image+0x1A4 (.text)" for an address inside the image, else "".
  [[nodiscard]] std::string Describe(uint32_t address) const;
  // The guest address of an RVA.
  [[nodiscard]] uint32_t At(uint32_t rva) const { return base + rva; }
};

// Checks that the image can run in place here: PE32 for IA-32, only
// ABSOLUTE and HIGHLOW relocations, and [address, address + SizeOfImage)
// inside the flash window with address 32-byte aligned. Throws EmuError
// naming what is wrong.
void CheckLoadable(const clockramp::pe::PeImage& image, uint32_t address);

// Checks the image, then writes it, relocated, into the machine's flash at `address`.
LoadedImage LoadImage(Machine& machine, const clockramp::pe::PeImage& image, uint32_t address);

// Checks the image for a run at its own ImageBase with no relocation applied,
// as code that executes in place from where it was rebased to: PE32 for
// IA-32, an ImageBase that is a multiple of the section alignment and leaves
// the whole image below 4 GiB. Throws EmuError naming what is wrong.
void CheckRunsAtBase(const clockramp::pe::PeImage& image);

// Checks the image, maps its pages when they lie outside the flash window,
// and writes it there as it is.
LoadedImage LoadImageAtBase(Machine& machine, const clockramp::pe::PeImage& image);

}  // namespace emu

#endif  // CLOCKRAMP_EMU_IMAGELOADER_H_
