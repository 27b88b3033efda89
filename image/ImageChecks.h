// The checks that make an image fit to run in place from flash in the PEI
// phase: what it is (PE32, IA-32, boot service driver), where it starts, what
// it must not have (imports, exports, anything writable) and what it must
// have (base relocations of the one kind a 32-bit loader applies, sections at
// their file offsets), plus the instruction scan for x87, MMX and SSE code,
// which must not run before the firmware has set up that processor state.
//
// The same checks run over facts gathered by two independent readers: our
// PeImage and LLVM's llvm-readobj, whose text output is parsed here.
#ifndef CLOCKRAMP_IMAGE_IMAGECHECKS_H_
#define CLOCKRAMP_IMAGE_IMAGECHECKS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/LinkMap.h"
#include "image/PeImage.h"

namespace clockramp::image {

struct SectionFacts {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;

  bool operator==(const SectionFacts&) const = default;
};

struct ImageFacts {
  uint16_t magic = 0;
  uint16_t machine = 0;
  uint16_t subsystem = 0;
  uint32_t entry_rva = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  bool has_exports = false;
  bool has_imports = false;  // import table, import address table or delay imports
  std::vector<SectionFacts> sections;
  std::vector<std::string> relocation_kinds;  // one per entry, ABSOLUTE padding included

  bool operator==(const ImageFacts&) const = default;
};

ImageFacts FactsFromPeImage(const pe::PeImage& image);
// From the output of `llvm-readobj --file-headers --sections --coff-basereloc`;
// a missing header field is a std::runtime_error.
ImageFacts FactsFromReadobj(const std::string& text);

struct CheckResult {
  std::string name;
  bool passed = false;
  std::string detail;  // what was found, for a failure message
};

// The checks over an image's facts. The entry point must be the entry
// symbol's RVA from the link map when one is given, else lie in an
// executable section.
std::vector<CheckResult> CheckImageFacts(const ImageFacts& facts,
                                         std::optional<uint32_t> expected_entry_rva);

// The checks a PEIM image from anywhere must pass before it is packaged or
// inserted into a firmware image: those above, and sane sizes: a section
// alignment that is a power of two of at most 64 KiB, and the image's memory
// its file bytes (pe::InPlaceFault: sections at their file offsets, nothing
// uninitialised, SizeOfImage within the file), as a PEIM that runs where it
// lies in flash needs.
std::vector<CheckResult> CheckPeimImage(const pe::PeImage& image);
bool AllPassed(const std::vector<CheckResult>& results);
// The failed checks as "name: detail" lines.
std::string Failures(const std::vector<CheckResult>& results);

// The code part of the image: the map's ".text" contributions, placed by the
// section table. Read-only data merged into the section is not code and is
// left out of the instruction scan.
struct CodeRange {
  uint32_t begin = 0;  // RVA
  uint32_t end = 0;    // RVA, exclusive
};
CodeRange CodeRangeFromMap(const LinkMap& map, const pe::PeImage& image);

// The lines of `llvm-objdump -d` output that hold an x87, MMX or SSE
// instruction (by mnemonic or by register operand).
std::vector<std::string> FindForbiddenInstructions(const std::string& disassembly);

}  // namespace clockramp::image

#endif  // CLOCKRAMP_IMAGE_IMAGECHECKS_H_
