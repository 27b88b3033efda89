// The parts of an lld-link /map file the image checks and report need: the
// preferred base, the section contributions (how much of .text is code and
// how much is read-only data merged into it) and the public and static symbols.
#ifndef CLOCKRAMP_IMAGE_LINKMAP_H_
#define CLOCKRAMP_IMAGE_LINKMAP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace clockramp::image {

struct MapContribution {
  uint16_t section = 0;  // 1-based index in the section table
  uint32_t offset = 0;   // from the start of that section
  uint32_t length = 0;
  std::string name;      // the input section group, e.g. ".text" or ".rdata"
};

struct MapSymbol {
  std::string name;      // as linked, e.g. "_ClockRampEntry"
  uint16_t section = 0;
  uint32_t offset = 0;
  uint64_t address = 0;  // Rva+Base
};

struct LinkMap {
  uint64_t base = 0;
  std::vector<MapContribution> contributions;
  std::vector<MapSymbol> symbols;

  // Parses the text of a map file; a map without the preferred load address
  // or without any contribution is a std::runtime_error.
  static LinkMap Parse(const std::string& text);
  static LinkMap ReadFile(const std::string& path);

  // The RVA of a symbol, looked up as given and with the IA-32 C prefix "_".
  [[nodiscard]] std::optional<uint32_t> SymbolRva(const std::string& name) const;
  // Total length of the contributions of one name (".text", ".rdata").
  [[nodiscard]] uint32_t ContributionBytes(const std::string& name) const;
};

}  // namespace clockramp::image

#endif  // CLOCKRAMP_IMAGE_LINKMAP_H_
