// The image's fitness to run in place: the checks over the built image (which
// must pass, read by our reader and by llvm-readobj alike), over a faulty
// image with a writable global (which must fail), over single faults, and the
// scan of the code for x87, MMX and SSE instructions.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "TestTools.h"
#include "image/ImageChecks.h"

namespace clockramp::image {
namespace {

using clockramp::testing::Quote;
using clockramp::testing::RunCommand;

std::string Readobj(const std::string& path) {
  const std::string tool = CLOCKRAMP_TEST_LLVM_READOBJ;
  if (tool.empty()) {
    ADD_FAILURE() << "llvm-readobj was not found when the build was configured";
    return {};
  }
  const auto result =
      RunCommand(Quote(tool) + " --file-headers --sections --coff-basereloc " + Quote(path));
  EXPECT_EQ(result.exit_code, 0) << result.output;
  return result.output;
}

std::set<std::string> FailedChecks(const std::vector<CheckResult>& results) {
  std::set<std::string> failed;
  for (const CheckResult& r : results) {
    if (!r.passed) {
      failed.insert(r.name);
    }
  }
  return failed;
}

struct Built {
  const char* image;
  const char* map;
  const char* entry;
};
const Built kGood{CLOCKRAMP_TEST_IMAGE, CLOCKRAMP_TEST_IMAGE_MAP, CLOCKRAMP_TEST_IMAGE_ENTRY};
const Built kBad{CLOCKRAMP_TEST_BAD_IMAGE, CLOCKRAMP_TEST_BAD_IMAGE_MAP, "BadEntry"};

uint32_t EntryRva(const Built& built) {
  const auto rva = LinkMap::ReadFile(built.map).SymbolRva(built.entry);
  EXPECT_TRUE(rva.has_value()) << built.entry << " is not in " << built.map;
  return rva.value_or(0xFFFFFFFF);
}

TEST(ImageChecks, TheBuiltImagePassesByBothReaders) {
  const pe::PeImage image = pe::PeImage::ReadFile(kGood.image);
  const uint32_t entry = EntryRva(kGood);
  const ImageFacts ours = FactsFromPeImage(image);
  const ImageFacts llvm = FactsFromReadobj(Readobj(kGood.image));
  for (const ImageFacts* facts : {&ours, &llvm}) {
    const auto results = CheckImageFacts(*facts, entry);
    EXPECT_TRUE(AllPassed(results)) << Failures(results);
  }
  // The two readers agree on every fact, relocation kinds included.
  EXPECT_EQ(ours, llvm);
}

TEST(ImageChecks, AWritableGlobalIsRejectedByBothReaders) {
  const pe::PeImage image = pe::PeImage::ReadFile(kBad.image);
  const uint32_t entry = EntryRva(kBad);
  const ImageFacts ours = FactsFromPeImage(image);
  const ImageFacts llvm = FactsFromReadobj(Readobj(kBad.image));
  EXPECT_EQ(ours, llvm);
  const std::set<std::string> expected = {"no writable section", "no .data or .bss"};
  for (const ImageFacts* facts : {&ours, &llvm}) {
    EXPECT_EQ(FailedChecks(CheckImageFacts(*facts, entry)), expected)
        << Failures(CheckImageFacts(*facts, entry));
  }
}

TEST(ImageChecks, EachFaultFailsItsOwnCheckOnly) {
  const ImageFacts good = FactsFromPeImage(pe::PeImage::ReadFile(kGood.image));
  const uint32_t entry = good.entry_rva;
  struct Case {
    const char* fault;
    std::function<void(ImageFacts&)> apply;
    const char* check;
  };
  const std::vector<Case> cases = {
      {"PE32+", [](ImageFacts& f) { f.magic = pe::kMagicPe32Plus; }, "PE32"},
      {"x64 machine", [](ImageFacts& f) { f.machine = 0x8664; }, "machine i386"},
      {"EFI application", [](ImageFacts& f) { f.subsystem = pe::kSubsystemEfiApplication; },
       "EFI boot service driver"},
      {"entry elsewhere", [](ImageFacts& f) { f.entry_rva += 1; }, "entry point"},
      {"exports", [](ImageFacts& f) { f.has_exports = true; }, "no export table"},
      {"imports", [](ImageFacts& f) { f.has_imports = true; }, "no import table"},
      {"writable code", [](ImageFacts& f) { f.sections[0].characteristics |= pe::kSectionWrite; },
       "no writable section"},
      {"read-only .data section", [](ImageFacts& f) { f.sections[0].name = ".data"; },
       "no .data or .bss"},
      {"section moved in the file", [](ImageFacts& f) { f.sections[1].raw_offset += 8; },
       "sections at their file offsets"},
      {"file alignment unlike section alignment", [](ImageFacts& f) { f.file_alignment = 512; },
       "sections at their file offsets"},
      {"only padding relocations", [](ImageFacts& f) { f.relocation_kinds.assign(2, "ABSOLUTE"); },
       "base relocations present"},
      {"a 64-bit relocation", [](ImageFacts& f) { f.relocation_kinds.back() = "DIR64"; },
       "HIGHLOW relocations only"},
  };
  for (const Case& c : cases) {
    ImageFacts facts = good;
    c.apply(facts);
    EXPECT_EQ(FailedChecks(CheckImageFacts(facts, entry)), std::set<std::string>{c.check})
        << c.fault;
  }
}

TEST(ImageChecks, APeimFromAnywhereIsCheckedWithoutAMap) {
  const pe::PeImage image = pe::PeImage::ReadFile(kGood.image);
  EXPECT_EQ(FailedChecks(CheckPeimImage(image)), std::set<std::string>{});
  // Without a map the entry point must lie in code: here it is in the headers.
  ImageFacts facts = FactsFromPeImage(image);
  facts.entry_rva = 0x10;
  EXPECT_EQ(FailedChecks(CheckImageFacts(facts, std::nullopt)),
            std::set<std::string>{"entry point"});
  // Section and file alignment of 128 KiB, past what any loader gives.
  std::vector<uint8_t> bytes = image.bytes();
  const size_t optional = (bytes[0x3C] | (bytes[0x3D] << 8)) + 24;
  for (const size_t field : {optional + 32, optional + 36}) {
    bytes[field] = 0;
    bytes[field + 1] = 0;
    bytes[field + 2] = 0x02;
  }
  EXPECT_EQ(FailedChecks(CheckPeimImage(pe::PeImage::Parse(bytes))),
            std::set<std::string>{"section alignment"});
}

TEST(ImageChecks, ReadobjOutputWithoutHeadersIsAnError) {
  EXPECT_THROW(FactsFromReadobj("Sections [\n]\n"), std::runtime_error);
}

TEST(InstructionScan, FlagsX87MmxAndSseButNotIntegerCode) {
  struct Case {
    const char* line;
    bool forbidden;
  };
  const std::vector<Case> cases = {
      {"     1e8: 83 ec 0c                     \tsubl\t$12, %esp", false},
      {"     2ae: e6 2e                        \toutb\t%al, $46", false},
      {"     337: f3 90                        \tpause", false},
      {"     221: ff 52 20                     \tcalll\t*32(%edx)", false},
      {"     208: 0f 01 4c 24 04               \tsidtl\t4(%esp)", false},
      {"     31b: f7 f6                        \tdivl\t%esi", false},
      {"     300: d9 c0                        \tfld\t%st(0)", true},
      {"     300: d9 7c 24 04                  \tfnstcw\t4(%esp)", true},
      {"     300: dd 1c 24                     \tfstpl\t(%esp)", true},
      {"     300: 9b                           \twait", true},
      {"     300: 0f 77                        \temms", true},
      {"     300: 0f 6e c0                     \tmovd\t%eax, %mm0", true},
      {"     300: 0f 28 c1                     \tmovaps\t%xmm1, %xmm0", true},
      {"     300: 66 0f ef c0                  \tpxor\t%xmm0, %xmm0", true},
      {"     300: 0f ae 14 24                  \tldmxcsr\t(%esp)", true},
      {"     300: 0f c3 01                     \tmovnti\t%eax, (%ecx)", true},
      {"     300:      \tmovups\t%xmm0, (%eax)", true},
      {"00000200 <.text>:", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindForbiddenInstructions(c.line).size(), c.forbidden ? 1U : 0U) << c.line;
  }
}

TEST(InstructionScan, TheImageCodeHasNoX87MmxOrSseInstruction) {
  const std::string tool = CLOCKRAMP_TEST_LLVM_OBJDUMP;
  ASSERT_FALSE(tool.empty()) << "llvm-objdump was not found when the build was configured";
  const pe::PeImage image = pe::PeImage::ReadFile(kGood.image);
  const CodeRange code = CodeRangeFromMap(LinkMap::ReadFile(kGood.map), image);
  // Code first in .text, the merged read-only data after it.
  EXPECT_EQ(code.begin, image.sections()[0].virtual_address);
  EXPECT_LT(code.end, image.sections()[0].virtual_address + image.sections()[0].virtual_size);

  std::ostringstream command;
  command << Quote(tool) << " -d --start-address=" << code.begin << " --stop-address=" << code.end
          << " " << Quote(kGood.image);
  const auto result = RunCommand(command.str());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  // The scan saw the whole code range, not an empty listing.
  static const std::regex kAddress(R"(^\s*([0-9a-f]+):)");
  std::istringstream lines(result.output);
  std::string line;
  uint32_t last = 0;
  size_t instructions = 0;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, kAddress)) {
      last = static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16));
      ++instructions;
    }
  }
  EXPECT_GT(instructions, 200U);
  EXPECT_GT(last + 16, code.end);
  const std::vector<std::string> forbidden = FindForbiddenInstructions(result.output);
  EXPECT_TRUE(forbidden.empty()) << forbidden.size() << " forbidden, first: " << forbidden.front();
}

}  // namespace
}  // namespace clockramp::image
