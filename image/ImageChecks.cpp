#include "image/ImageChecks.h"

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace clockramp::image {
namespace {

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

// Reads "Key: value" lines of llvm-readobj output, keeping track of the block
// ("Name {" or "Name [") each line is in.
struct ReadobjLine {
  std::string block;
  std::string key;
  std::string value;
};

std::vector<ReadobjLine> SplitReadobj(const std::string& text) {
  std::vector<ReadobjLine> lines;
  std::vector<std::string> blocks;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
      continue;
    }
    std::string body = line.substr(first);
    if (body == "}" || body == "]") {
      if (!blocks.empty()) {
        blocks.pop_back();
      }
      continue;
    }
    // "Characteristics [ (0x60000020)" opens a block and carries a value.
    const size_t open_with_value = body.find(" [ (");
    if (open_with_value != std::string::npos) {
      blocks.push_back(body.substr(0, open_with_value));
      lines.push_back({blocks.back(), blocks.back(), body.substr(open_with_value + 3)});
      continue;
    }
    const size_t colon = body.find(": ");
    if (colon == std::string::npos) {
      if (body.back() == '{' || body.back() == '[') {
        body.pop_back();
        blocks.push_back(body.substr(0, body.find_last_not_of(' ') + 1));
      }
      continue;
    }
    lines.push_back(
        {blocks.empty() ? "" : blocks.back(), body.substr(0, colon), body.substr(colon + 2)});
  }
  return lines;
}

// The number in "0x1E8", "2528" or "IMAGE_FILE_MACHINE_I386 (0x14C)".
uint64_t Number(const std::string& value) {
  static const std::regex kInParens(R"(\((0x[0-9A-Fa-f]+|[0-9]+)\))");
  std::smatch m;
  const std::string digits = std::regex_search(value, m, kInParens) ? m[1].str() : value;
  return std::stoull(digits, nullptr, 0);
}

CheckResult Check(std::string name, bool passed, std::string detail) {
  return {std::move(name), passed, std::move(detail)};
}

}  // namespace

ImageFacts FactsFromPeImage(const pe::PeImage& image) {
  const pe::Headers& h = image.headers();
  ImageFacts facts;
  facts.magic = h.magic;
  facts.machine = h.machine;
  facts.subsystem = h.subsystem;
  facts.entry_rva = h.entry_point;
  facts.section_alignment = h.section_alignment;
  facts.file_alignment = h.file_alignment;
  facts.has_exports = image.Directory(pe::kExportDirectory).size != 0;
  facts.has_imports = image.Directory(pe::kImportDirectory).size != 0 ||
                      image.Directory(pe::kImportAddressTableDirectory).size != 0 ||
                      image.Directory(pe::kDelayImportDirectory).size != 0;
  for (const pe::Section& s : image.sections()) {
    facts.sections.push_back(
        {s.name, s.virtual_address, s.raw_offset, s.raw_size, s.characteristics});
  }
  for (const pe::BaseRelocation& r : image.relocations()) {
    facts.relocation_kinds.emplace_back(pe::RelocationTypeName(r.type));
  }
  facts.relocation_kinds.insert(facts.relocation_kinds.end(), image.absolute_relocations(),
                                pe::RelocationTypeName(pe::RelocationType::kAbsolute));
  return facts;
}

ImageFacts FactsFromReadobj(const std::string& text) {
  ImageFacts facts;
  std::map<std::string, uint64_t> fields;
  std::vector<std::string> absolute;
  for (const ReadobjLine& l : SplitReadobj(text)) {
    if (l.block == "ImageFileHeader" || l.block == "ImageOptionalHeader" ||
        l.block == "DataDirectory") {
      if (l.key == "Machine" || l.key == "Magic" || l.key == "Subsystem" ||
          l.key == "AddressOfEntryPoint" || l.key == "SectionAlignment" ||
          l.key == "FileAlignment" || l.key.find("Size") != std::string::npos) {
        fields[l.key] = Number(l.value);
      }
    } else if (l.block == "Section") {
      if (l.key == "Number") {
        facts.sections.emplace_back();
      } else if (facts.sections.empty()) {
        throw std::runtime_error("llvm-readobj: section field before a section number");
      } else if (l.key == "Name") {
        facts.sections.back().name = l.value.substr(0, l.value.find(' '));
      } else if (l.key == "VirtualAddress") {
        facts.sections.back().virtual_address = static_cast<uint32_t>(Number(l.value));
      } else if (l.key == "PointerToRawData") {
        facts.sections.back().raw_offset = static_cast<uint32_t>(Number(l.value));
      } else if (l.key == "RawDataSize") {
        facts.sections.back().raw_size = static_cast<uint32_t>(Number(l.value));
      }
    } else if (l.block == "Characteristics" && l.key == "Characteristics" &&
               !facts.sections.empty()) {
      facts.sections.back().characteristics = static_cast<uint32_t>(Number(l.value));
    } else if (l.block == "Entry" && l.key == "Type") {
      // The table's order with padding last, as FactsFromPeImage lists them.
      (l.value == "ABSOLUTE" ? absolute : facts.relocation_kinds).push_back(l.value);
    }
  }
  for (const char* key : {"Machine", "Magic", "Subsystem", "AddressOfEntryPoint",
                          "SectionAlignment", "FileAlignment"}) {
    if (fields.count(key) == 0) {
      throw std::runtime_error(std::string("llvm-readobj output has no ") + key);
    }
  }
  facts.machine = static_cast<uint16_t>(fields["Machine"]);
  facts.magic = static_cast<uint16_t>(fields["Magic"]);
  facts.subsystem = static_cast<uint16_t>(fields["Subsystem"]);
  facts.entry_rva = static_cast<uint32_t>(fields["AddressOfEntryPoint"]);
  facts.section_alignment = static_cast<uint32_t>(fields["SectionAlignment"]);
  facts.file_alignment = static_cast<uint32_t>(fields["FileAlignment"]);
  facts.has_exports = fields["ExportTableSize"] != 0;
  facts.has_imports = fields["ImportTableSize"] != 0 || fields["IATSize"] != 0 ||
                      fields["DelayImportDescriptorSize"] != 0;
  facts.relocation_kinds.insert(facts.relocation_kinds.end(), absolute.begin(), absolute.end());
  return facts;
}

std::vector<CheckResult> CheckImageFacts(const ImageFacts& facts,
                                         std::optional<uint32_t> expected_entry_rva) {
  std::vector<CheckResult> results;
  results.push_back(
      Check("PE32", facts.magic == pe::kMagicPe32, "optional header magic " + Hex(facts.magic)));
  results.push_back(
      Check("machine i386", facts.machine == pe::kMachineI386, "machine " + Hex(facts.machine)));
  results.push_back(Check("EFI boot service driver",
                          facts.subsystem == pe::kSubsystemEfiBootServiceDriver,
                          "subsystem " + std::to_string(facts.subsystem)));
  if (expected_entry_rva) {
    results.push_back(
        Check("entry point", facts.entry_rva == *expected_entry_rva,
              "entry " + Hex(facts.entry_rva) + ", entry symbol at " + Hex(*expected_entry_rva)));
  } else {
    const bool in_code =
        std::any_of(facts.sections.begin(), facts.sections.end(), [&](const SectionFacts& s) {
          return (s.characteristics & pe::kSectionExecute) != 0 &&
                 facts.entry_rva >= s.virtual_address &&
                 facts.entry_rva - s.virtual_address < s.raw_size;
        });
    results.push_back(Check("entry point", in_code,
                            "entry " + Hex(facts.entry_rva) + " is in no executable section"));
  }
  results.push_back(Check("no export table", !facts.has_exports, "export directory present"));
  results.push_back(Check("no import table", !facts.has_imports, "import directory present"));

  std::string writable;
  std::string data;
  std::string misplaced;
  for (const SectionFacts& s : facts.sections) {
    if ((s.characteristics & pe::kSectionWrite) != 0) {
      writable += " " + s.name;
    }
    if (s.name == ".data" || s.name == ".bss" ||
        (s.characteristics & pe::kSectionUninitializedData) != 0) {
      data += " " + s.name;
    }
    if (s.raw_size != 0 && s.virtual_address != s.raw_offset) {
      misplaced +=
          " " + s.name + " at " + Hex(s.virtual_address) + " from file offset " + Hex(s.raw_offset);
    }
  }
  results.push_back(Check("no writable section", writable.empty(), "writable:" + writable));
  results.push_back(Check("no .data or .bss", data.empty(), "data sections:" + data));
  results.push_back(Check("sections at their file offsets",
                          misplaced.empty() && facts.section_alignment == facts.file_alignment,
                          "alignment " + std::to_string(facts.section_alignment) + "/" +
                              std::to_string(facts.file_alignment) + misplaced));

  const auto patching = std::count_if(facts.relocation_kinds.begin(), facts.relocation_kinds.end(),
                                      [](const std::string& k) { return k != "ABSOLUTE"; });
  std::string other_kinds;
  for (const std::string& kind : facts.relocation_kinds) {
    if (kind != "HIGHLOW" && kind != "ABSOLUTE" && other_kinds.find(kind) == std::string::npos) {
      other_kinds += " " + kind;
    }
  }
  results.push_back(Check("base relocations present", patching > 0, "no base relocation"));
  results.push_back(
      Check("HIGHLOW relocations only", other_kinds.empty(), "other kinds:" + other_kinds));
  return results;
}

std::vector<CheckResult> CheckPeimImage(const pe::PeImage& image) {
  std::vector<CheckResult> results = CheckImageFacts(FactsFromPeImage(image), std::nullopt);
  const uint32_t alignment = image.headers().section_alignment;
  results.push_back(
      Check("section alignment",
            alignment != 0 && (alignment & (alignment - 1)) == 0 && alignment <= 0x10000,
            "section alignment " + Hex(alignment)));
  const std::optional<std::string> fault = pe::InPlaceFault(image);
  results.push_back(Check("runs in place", !fault, fault.value_or("")));
  return results;
}

bool AllPassed(const std::vector<CheckResult>& results) {
  return std::all_of(results.begin(), results.end(), [](const CheckResult& r) { return r.passed; });
}

std::string Failures(const std::vector<CheckResult>& results) {
  std::string out;
  for (const CheckResult& r : results) {
    if (!r.passed) {
      out += r.name + ": " + r.detail + "\n";
    }
  }
  return out;
}

CodeRange CodeRangeFromMap(const LinkMap& map, const pe::PeImage& image) {
  CodeRange range{UINT32_MAX, 0};
  for (const MapContribution& c : map.contributions) {
    if (c.name != ".text") {
      continue;
    }
    if (c.section == 0 || c.section > image.sections().size()) {
      throw std::runtime_error("map contribution in section " + std::to_string(c.section) +
                               ", which the image does not have");
    }
    const uint32_t start = image.sections()[c.section - 1].virtual_address + c.offset;
    range.begin = std::min(range.begin, start);
    range.end = std::max(range.end, start + c.length);
  }
  if (range.end == 0) {
    throw std::runtime_error("the map has no .text contribution");
  }
  return range;
}

std::vector<std::string> FindForbiddenInstructions(const std::string& disassembly) {
  // An instruction line: "     1e8: 83 ec 0c   \tsubl\t$12, %esp" (bytes optional).
  static const std::regex kInstruction(R"(^\s*[0-9a-f]+:(?:\s[0-9a-f]{2})*\s*\t(\S+)(.*)$)");
  // x87 mnemonics all begin with f (fld, fstp, fnstcw, fxsave, ...); wait is
  // FWAIT. MMX and SSE: emms, the MXCSR and fence instructions, non-temporal
  // stores and prefetches, and anything naming an MMX, SSE or x87 register.
  static const std::regex kForbiddenMnemonic(
      R"(^(f[a-z0-9]*|wait|emms|ldmxcsr|stmxcsr|sfence|lfence|mfence|movnti|maskmovq|prefetch(nta|t0|t1|t2)|clflush)$)");
  static const std::regex kForbiddenRegister(R"(%(st|mm[0-7]|xmm[0-9]+|ymm[0-9]+|zmm[0-9]+)\b)");
  std::vector<std::string> found;
  std::istringstream in(disassembly);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, kInstruction)) {
      continue;
    }
    const std::string mnemonic = m[1].str();
    const std::string operands = m[2].str();
    if (std::regex_match(mnemonic, kForbiddenMnemonic) ||
        std::regex_search(operands, kForbiddenRegister)) {
      found.push_back(line);
    }
  }
  return found;
}

}  // namespace clockramp::image
