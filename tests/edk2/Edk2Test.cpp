// The images EDK II makes of the module (scripts/edk2.sh: ClockRampPkg's
// DSC, DEBUG and RELEASE, GCC5) through the project's own checks and tools:
// fit to run in place by both readers, no x87/MMX/SSE code, the same traces
// as the native engine on the scenarios and 1,000 random boards, packaged and
// inserted at their 64-byte section alignment, size figures without an
// lld-link map, and the scenarios under the real PEI core of ovmf-ia32. Then
// the OVMF firmware built from source with the module in it (once from
// source, once through the project's binary INF): the QEMU harness's
// scenarios on each, and the PEI core's own debug log. Each test skips when
// its EDK II outputs are not there.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "../image/TestTools.h"
#include "BuildPaths.h"
#include "board/NativeEngine.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/ImageChecks.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/FirmwareLog.h"
#include "qemu/QemuRun.h"
#include "tools/Scenario.h"

namespace {

namespace fs = std::filesystem;
namespace fv = clockramp::fv;
namespace image = clockramp::image;
using clockramp::testing::Quote;
using clockramp::testing::RunCommand;
using clockramp::testing::ScratchFolder;

const fs::path kEdk2 = CLOCKRAMP_EDK2_DIR;

// target: DEBUG_GCC5, RELEASE_GCC5, DEBUG_CLANGPDB.
fs::path ImagePath(const std::string& target) {
  return kEdk2 / "Build/ClockRampPkg" / target / "IA32/ClockRamp.efi";
}

#define SKIP_UNLESS_EXISTS(path)                                                          \
  if (!fs::exists(path)) {                                                                \
    GTEST_SKIP() << (path) << " is not there: EDK II's build makes it (scripts/edk2.sh)"; \
  }

std::string Output(const std::string& command) {
  const auto result = RunCommand(command);
  EXPECT_EQ(result.exit_code, 0) << command << "\n" << result.output;
  return result.output;
}

// The symbols of the ELF file EDK II linked before GenFw made the PE32 image
// of it (the two keep the same addresses), in the code section.
struct ElfSymbol {
  uint32_t value = 0;
  uint32_t size = 0;
  std::string type;  // FUNC, NOTYPE (an assembly label), OBJECT
  std::string name;
};

std::vector<ElfSymbol> TextSymbols(const fs::path& elf) {
  std::vector<ElfSymbol> symbols;
  std::istringstream lines(
      Output(Quote(CLOCKRAMP_TEST_LLVM_READELF) + " -sW " + Quote(elf.string())));
  // "    13: 00000240    71 FUNC    LOCAL  DEFAULT     1 GetPcieConfigBase"
  static const std::regex kSymbol(R"(^\s*\d+: ([0-9a-f]+)\s+(\d+) (\w+)\s+\w+\s+\w+\s+1 (\S+)$)");
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, kSymbol) && m[3].str() != "SECTION") {
      symbols.push_back({static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16)),
                         static_cast<uint32_t>(std::stoul(m[2].str())), m[3].str(), m[4].str()});
    }
  }
  return symbols;
}

class Edk2Image : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { SKIP_UNLESS_EXISTS(ImagePath(GetParam())); }
  [[nodiscard]] fs::path Image() const { return ImagePath(GetParam()); }
  ScratchFolder scratch_;
};

TEST_P(Edk2Image, IsFitToRunInPlaceByBothReaders) {
  const clockramp::pe::PeImage pe = clockramp::pe::PeImage::ReadFile(Image().string());
  const image::ImageFacts ours = image::FactsFromPeImage(pe);
  const image::ImageFacts llvm = image::FactsFromReadobj(
      Output(Quote(CLOCKRAMP_TEST_LLVM_READOBJ) + " --file-headers --sections --coff-basereloc " +
             Quote(Image().string())));
  EXPECT_EQ(ours, llvm);
  if (!GetParam().ends_with("GCC5")) {
    // lld-link's image: no ELF file to read the entry point and code from.
    const auto results = image::CheckImageFacts(ours, ours.entry_rva);
    EXPECT_TRUE(image::AllPassed(results)) << image::Failures(results);
    return;
  }
  const fs::path elf = fs::path(Image()).replace_extension(".debug");
  const std::vector<ElfSymbol> symbols = TextSymbols(elf);
  const auto entry = std::find_if(symbols.begin(), symbols.end(),
                                  [](const ElfSymbol& s) { return s.name == "_ModuleEntryPoint"; });
  ASSERT_NE(entry, symbols.end());
  const auto results = image::CheckImageFacts(ours, entry->value);
  EXPECT_TRUE(image::AllPassed(results)) << image::Failures(results);
  // GCC5 links with 64-byte pages, CLANGPDB (lld-link) with 32.
  EXPECT_EQ(pe.headers().section_alignment, GetParam().ends_with("GCC5") ? 0x40U : 0x20U);

  // The code, first in the section, ends where the first constant begins;
  // none of it is an x87, MMX or SSE instruction.
  const uint32_t begin = pe.sections()[0].virtual_address;
  uint32_t end = begin + pe.sections()[0].virtual_size;
  uint32_t code_end = begin;
  for (const ElfSymbol& s : symbols) {
    if (s.type == "OBJECT") {
      end = std::min(end, s.value);
    } else {
      code_end = std::max(code_end, s.value + s.size);
    }
  }
  ASSERT_LE(code_end, end);
  const std::string listing =
      Output(Quote(CLOCKRAMP_TEST_LLVM_OBJDUMP) + " -d --start-address=" + std::to_string(begin) +
             " --stop-address=" + std::to_string(end) + " " + Quote(Image().string()));
  const auto forbidden = image::FindForbiddenInstructions(listing);
  EXPECT_TRUE(forbidden.empty()) << forbidden.front();
  static const std::regex kInstruction(R"(^\s*[0-9a-f]+:\s)");
  std::istringstream lines(listing);
  size_t instructions = 0;
  for (std::string line; std::getline(lines, line);) {
    instructions += std::regex_search(line, kInstruction) ? 1 : 0;
  }
  RecordProperty("code_bytes", std::to_string(end - begin));
  EXPECT_GT(instructions, 200U);
}

TEST_P(Edk2Image, AgreesWithTheNativeEngineOnTheScenariosAndRandomBoards) {
  std::string scenarios;
  for (const auto& entry : fs::directory_iterator(CLOCKRAMP_SCENARIOS)) {
    if (entry.path().extension() == ".json") {
      scenarios += " " + Quote(entry.path().string());
    }
  }
  const auto result = RunCommand(Quote(CLOCKRAMP_TOOL) + " check" + scenarios +
                                 " --random 1000 --image " + Quote(Image().string()));
  EXPECT_EQ(result.exit_code, 0) << result.output;
}

TEST_P(Edk2Image, IsPackagedAndInsertedAtItsSectionAlignment) {
  const auto packaged = RunCommand(
      Quote(CLOCKRAMP_FV_TOOL) + " " + Quote(Image().string()) + " ClockRamp.ffs ClockRamp.fv",
      scratch_.path());
  ASSERT_EQ(packaged.exit_code, 0) << packaged.output;
  const auto volume = clockramp::testing::ReadBytes(scratch_.path() / "ClockRamp.fv");
  const fv::Node root = fv::WalkVolume(volume);
  ASSERT_FALSE(root.children.empty());
  const fv::Node& file = root.children.back();
  EXPECT_EQ(file.guid, fv::kClockRampFileGuid);
  // 32- or 64-byte sections: the file declares 128-byte data, the volume at least as much.
  const uint32_t alignment =
      clockramp::pe::PeImage::ReadFile(Image().string()).headers().section_alignment;
  EXPECT_EQ(fv::FileDataAlignment(static_cast<uint8_t>(file.attributes)), 128U);
  EXPECT_EQ((file.offset + file.header_size) % 128, 0U);
  EXPECT_GE(1U << ((root.attributes & fv::kFvbAlignmentMask) >> 16), 128U);
  const auto image = std::find_if(file.children.begin(), file.children.end(),
                                  [](const fv::Node& s) { return s.type == fv::kSectionPe32; });
  ASSERT_NE(image, file.children.end());
  EXPECT_EQ((file.offset + image->offset + image->header_size) % alignment, 0U);

  // Into the PEI volume of ovmf-ia32's firmware, where it runs at 0x820000.
  const std::string ovmf = qemu::kOvmfCode;
  if (!fs::exists(ovmf)) {
    GTEST_SKIP() << ovmf << " is missing (Debian package ovmf-ia32)";
  }
  fv::InsertOptions options;
  options.run_address = qemu::kOvmfPeiVolumeAddress;
  options.apriori = true;
  const fv::InsertResult inserted =
      fv::InsertPeim(clockramp::testing::ReadBytes(ovmf),
                     clockramp::pe::PeImage::ReadFile(Image().string()), options);
  EXPECT_EQ(inserted.image_base % alignment, 0U);
  const fv::Node walked = fv::WalkImage(inserted.image);
  const fv::Node& pei = fv::At(walked, fv::ChooseVolume(walked, std::nullopt));
  const auto ours = std::find_if(pei.children.begin(), pei.children.end(), [](const fv::Node& f) {
    return f.guid == fv::kClockRampFileGuid;
  });
  ASSERT_NE(ours, pei.children.end());
  EXPECT_EQ(fv::FileDataAlignment(static_cast<uint8_t>(ours->attributes)), 128U);
  EXPECT_EQ((ours->offset + ours->header_size) % 128, 0U);
}

TEST_P(Edk2Image, HasSizeFiguresWithoutALinkerMap) {
  ASSERT_EQ(RunCommand(Quote(CLOCKRAMP_FV_TOOL) + " " + Quote(Image().string()) +
                           " ClockRamp.ffs ClockRamp.fv",
                       scratch_.path())
                .exit_code,
            0);
  const std::string ffs = Quote((scratch_.path() / "ClockRamp.ffs").string());
  const std::string figures =
      Output(Quote(CLOCKRAMP_TOOL) + " image --efi " + Quote(Image().string()) + " --ffs " + ffs);
  EXPECT_NE(figures.find("image:          " + std::to_string(fs::file_size(Image())) + " bytes"),
            std::string::npos)
      << figures;
  EXPECT_NE(figures.find("left out: no lld-link map"), std::string::npos) << figures;
  const std::string report = Output(Quote(CLOCKRAMP_TOOL) + " report --no-worst-case --efi " +
                                    Quote(Image().string()) + " --ffs " + ffs);
  EXPECT_NE(report.find("code and read-only data left out"), std::string::npos) << report;
  EXPECT_NE(report.find("stack"), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(Targets, Edk2Image,
                         testing::Values("DEBUG_GCC5", "RELEASE_GCC5", "DEBUG_CLANGPDB"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// The QEMU harness's scenarios.
std::vector<std::string> QemuScenarios() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(CLOCKRAMP_QEMU_SCENARIOS)) {
    if (entry.path().extension() == ".json") {
      files.push_back(entry.path().stem().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string TestName(std::string scenario, const std::string& suffix) {
  std::replace(scenario.begin(), scenario.end(), '-', '_');
  return scenario + "_" + suffix;
}

// Runs a scenario under QEMU and compares it with the native engine.
qemu::QemuRun RunAndCompare(const std::string& scenario, const qemu::QemuOptions& options) {
  const clockramp::tool::Scenario s = clockramp::tool::LoadScenario(
      std::string(CLOCKRAMP_QEMU_SCENARIOS) + "/" + scenario + ".json");
  qemu::QemuRun run = qemu::RunQemu(s.config, options);
  for (const std::string& problem : run.problems) {
    ADD_FAILURE() << problem << " (files kept in " << run.workDir << ")";
  }
  const board::RunResult native = board::RunNative(s.config);
  const auto& n = native.trace().Events();
  const auto& q = run.board->Events().Events();
  const qemu::Comparison c = qemu::CompareRuns(n, n.back().Snapshot(), q, q.back().Snapshot());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  EXPECT_GT(c.compared, 0U);
  return run;
}

// EDK II's DEBUG image in place of the project's, in ovmf-ia32's firmware,
// dispatched after memory and before it (in place, at 64-byte alignment).
class Edk2ImageUnderQemu : public testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(Edk2ImageUnderQemu, RealPeiCoreAgreesWithTheNativeEngine) {
  SKIP_UNLESS_EXISTS(ImagePath("DEBUG_GCC5"));
  if (const std::string missing = qemu::MissingForQemu(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const auto& [scenario, before] = GetParam();
  qemu::FirmwareInputs inputs = qemu::DefaultFirmwareInputs(before);
  inputs.module = ImagePath("DEBUG_GCC5").string();
  qemu::QemuOptions options;
  options.firmware = qemu::FirmwarePathForImage(inputs.module, before);
  qemu::EnsureFirmware(inputs, options.firmware);
  const qemu::QemuRun run = RunAndCompare(scenario, options);
  ASSERT_TRUE(run.trace.exitStack.has_value());
  EXPECT_EQ(*run.trace.exitStack >= qemu::kOvmfTempRamBase &&
                *run.trace.exitStack < qemu::kOvmfTempRamBase + qemu::kOvmfTempRamSize,
            before);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Edk2ImageUnderQemu,
                         testing::Combine(testing::ValuesIn(QemuScenarios()), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<std::string, bool>>& info) {
                           return TestName(std::get<0>(info.param), std::get<1>(info.param)
                                                                        ? "before_memory"
                                                                        : "after_memory");
                         });

// OvmfPkgIa32 built from source with ClockRamp and the helper PEIMs in its
// PEI volume: ClockRamp from source, or the project's image through the
// binary INF. Its PEI core logs to the debug console; the helpers do not.
class Edk2Ovmf : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(Edk2Ovmf, ScenariosRunAndThePeiCoreLogsTheModule) {
  const auto& [scenario, variant] = GetParam();
  const fs::path firmware = kEdk2 / "ovmf" / variant / "OVMF_CODE.fd";
  SKIP_UNLESS_EXISTS(firmware);
  if (const std::string missing = qemu::MissingForQemu(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  qemu::QemuOptions options;
  options.firmware = firmware.string();
  options.vars = (firmware.parent_path() / "OVMF_VARS.fd").string();
  const qemu::QemuRun run = RunAndCompare(scenario, options);
  const qemu::FirmwareLogFacts facts =
      qemu::ReadFirmwareLog(run.firmwareLog, fv::kClockRampFileGuid.ToString());
  for (const std::string& problem :
       qemu::FirmwareLogProblems(facts, qemu::PlacedModule(options.firmware).size)) {
    ADD_FAILURE() << problem;
  }
  // The helpers' lines are not in the firmware's log, nor its lines in theirs.
  EXPECT_EQ(run.firmwareLog.find("crq "), std::string::npos);
  EXPECT_TRUE(std::none_of(run.trace.log.begin(), run.trace.log.end(), [](const std::string& l) {
    return l.find("PEIM") != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, Edk2Ovmf,
    testing::Combine(testing::ValuesIn(QemuScenarios()), testing::Values("source", "binary")),
    [](const testing::TestParamInfo<std::tuple<std::string, std::string>>& info) {
      return TestName(std::get<0>(info.param), std::get<1>(info.param));
    });

}  // namespace
