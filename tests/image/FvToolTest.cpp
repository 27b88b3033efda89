// clockramp-fv on careless and hostile input, from the command line: every
// refusal exits 2 with one line naming the file (or option) and what is
// wrong, and writes nothing; numbers are decimal or 0x hex and refused as
// written; an output is never an input and is written whole or not at all;
// a PE32 image unfit for a PEIM is refused by package and insert alike;
// `list` shows a damaged image with the damage marked; progress is shown on a
// terminal only.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "SampleFirmware.h"
#include "TestTools.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/Lzma.h"

namespace clockramp::fv {
namespace {

namespace fs = std::filesystem;
using clockramp::testing::BuildSample;
using clockramp::testing::CommandResult;
using clockramp::testing::Quote;
using clockramp::testing::ReadBytes;
using clockramp::testing::RunCommand;
using clockramp::testing::WriteBytes;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

class FvTool : public ::testing::Test {
 protected:
  // Runs the tool in the scratch folder; `prefix` goes before it in the shell.
  CommandResult Run(const std::string& arguments, const std::string& prefix = "") const {
    return RunCommand(prefix + Quote(CLOCKRAMP_TEST_FV_TOOL) + " " + arguments, dir());
  }
  [[nodiscard]] const fs::path& dir() const { return scratch_.path(); }
  void Put(const std::string& name, const std::vector<uint8_t>& bytes) const {
    WriteBytes(dir() / name, bytes);
  }
  // What the folder holds besides the given inputs: outputs and temporaries.
  [[nodiscard]] std::vector<std::string> Others(const std::vector<std::string>& inputs) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir())) {
      const std::string name = entry.path().filename().string();
      if (std::find(inputs.begin(), inputs.end(), name) == inputs.end()) {
        names.push_back(name);
      }
    }
    return names;
  }
  // A refusal: status 2, one line "clockramp-fv: NAMED: ...MESSAGE...", nothing written.
  void ExpectRefused(const CommandResult& result, const std::string& named,
                     const std::string& message, const std::vector<std::string>& inputs,
                     const std::string& name) const {
    EXPECT_EQ(result.exit_code, 2) << name << ": " << result.output;
    EXPECT_EQ(result.output.rfind("clockramp-fv: " + named + ": ", 0), 0U)
        << name << ": " << result.output;
    EXPECT_NE(result.output.find(message), std::string::npos) << name << ": " << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1)
        << name << ": " << result.output;
    EXPECT_TRUE(std::all_of(result.output.begin(), result.output.end(),
                            [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }))
        << name << ": " << result.output;
    EXPECT_EQ(Others(inputs), std::vector<std::string>{}) << name;
  }

  testing::ScratchFolder scratch_;
};

const std::string kEfi = Quote(CLOCKRAMP_TEST_IMAGE);

TEST_F(FvTool, InsertRefusalsNameTheFileAndWriteNothing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    std::string options;
    std::string named;
    const char* message;
  };
  const std::vector<uint8_t> sample = BuildSample().image;
  const std::string ok = " --run-address 0x820000";
  const std::vector<Case> cases = {
      {"does not parse", std::vector<uint8_t>(0x10000, 0xFF), ok, "in.fd", "does not parse"},
      {"no run address", sample, "", "in.fd", "--run-address"},
      {"no room", BuildSample({.pei_volume_length = 0x1000, .filler = 0x600}).image, ok, "in.fd",
       "no room"},
      {"a PE32 image that is not there", sample, ok + " --efi missing.efi", "missing.efi",
       "cannot be read: No such file"},
      {"a folder as the PE32 image", sample, ok + " --efi .", ".", "is a folder"},
      // Numbers: 0x hex or decimal, refused as they were written.
      {"not a number", sample, " --run-address 0x1G", "--run-address 0x1G", "not a 32-bit address"},
      {"negative", sample, " --run-address -1", "--run-address -1", "not a 32-bit address"},
      {"a sign", sample, " --run-address +8", "--run-address +8", "not a 32-bit address"},
      {"past 32 bits", sample, " --run-address 4294967296", "--run-address 4294967296",
       "not a 32-bit address"},
      {"past 64 bits", sample, " --run-address 0x10000000000000000",
       "--run-address 0x10000000000000000", "not a 32-bit address"},
      {"not a GUID", sample, ok + " --volume 1234", "--volume 1234", "not a GUID"},
      // 010 is ten, not octal eight: a volume 2 bytes off an 8-byte boundary.
      {"a leading zero", sample, " --run-address 010", "in.fd", "runs at 0xA,"},
      {"a volume past 4 GiB", sample, " --run-address 0xFFFFF000", "in.fd", "past 4 GiB"},
      {"an image past 4 GiB", BuildSample({.compressed = false}).image, " --flash-base 0xFFFFF000",
       "in.fd", "past 4 GiB"},
      // Its header checksum covers the free space where the file would go.
      {"a result that would not parse", testing::WideHeaderVolume(), "", "in.fd",
       "with the file added the image would not parse"},
  };
  for (const Case& c : cases) {
    Put("in.fd", c.image);
    const std::string efi = c.options.find("--efi") == std::string::npos ? " --efi " + kEfi : "";
    ExpectRefused(Run("insert in.fd out.fd" + efi + c.options), c.named, c.message, {"in.fd"},
                  c.name);
  }
  Put("in.fd", sample);
  const auto inserted = Run("insert in.fd out.fd --efi " + kEfi + ok + " --apriori");
  EXPECT_EQ(inserted.exit_code, 0) << inserted.output;
  EXPECT_EQ(ReadBytes(dir() / "out.fd").size(), sample.size());
  const auto listed = Run("list out.fd");
  EXPECT_EQ(listed.exit_code, 0) << listed.output;
  EXPECT_NE(listed.output.find(kClockRampFileGuid.ToString() + " PEIM"), std::string::npos)
      << listed.output;
}

TEST_F(FvTool, HostileImagesAreRefusedWithinBounds) {
  struct Case {
    const char* name;
    std::string firmware;  // a path, or the contents of in.fd when `image` is set
    std::vector<uint8_t> image;
    const char* message;
  };
  // Past the limit (and sparse: it takes no room on disk). Endless files,
  // /dev/zero among them, stop being read at the limit (HostFilesTest.cpp).
  { std::ofstream(dir() / "big.fd").put(0); }
  fs::resize_file(dir() / "big.fd", uint64_t{300} << 20);
  const std::vector<Case> cases = {
      {"a file past the limit", "big.fd", {}, "larger than the limit of 268435456 bytes"},
      {"a folder", ".", {}, "is a folder"},
      {"20,000 nested volumes", "in.fd", testing::NestedVolumes(20000), "nesting deeper"},
      {"an LZMA section declaring 4 GiB", "in.fd", testing::LzmaClaim(uint64_t{1} << 32),
       "declares 4294967296 bytes"},
  };
  // Without the bound the 4 GiB would be allocated: a gigabyte of address
  // space is all the tool gets (AddressSanitizer reserves more than that).
  const std::string limited = kAddressSanitizer ? "" : "ulimit -v 1048576; ";
  for (const Case& c : cases) {
    if (!c.image.empty()) {
      Put("in.fd", c.image);
    }
    // The listing shows what it could read, then the refusal.
    const auto listed = Run("list " + Quote(c.firmware), limited);
    EXPECT_EQ(listed.exit_code, 2) << c.name << ": " << listed.output;
    EXPECT_NE(listed.output.find(c.message), std::string::npos) << c.name << ": " << listed.output;
    const size_t last = listed.output.rfind('\n', listed.output.size() - 2);
    EXPECT_EQ(listed.output.find("clockramp-fv: " + c.firmware + ": ",
                                 last == std::string::npos ? 0 : last + 1),
              last == std::string::npos ? 0 : last + 1)
        << c.name << ": " << listed.output;
    ExpectRefused(
        Run("insert " + Quote(c.firmware) + " out.fd --run-address 0x820000 --efi " + kEfi,
            limited),
        c.firmware, c.message, {"in.fd", "big.fd"}, std::string("insert, ") + c.name);
  }
}

TEST_F(FvTool, OutputsAreNeverInputsAndAreWrittenWholeOrNotAtAll) {
  const std::vector<uint8_t> sample = BuildSample().image;
  Put("in.fd", sample);
  const std::string insert = "insert in.fd out.fd --run-address 0x820000 --efi " + kEfi;
  struct Case {
    const char* name;
    std::string command;
    std::string prefix;
    std::string named;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"rebased over the firmware", insert + " --rebased in.fd", "", "in.fd", "also an input"},
      {"rebased over it by another name", insert + " --rebased ./in.fd", "", "./in.fd",
       "also an input"},
      {"the new image over the old", "insert in.fd in.fd --run-address 0x820000 --efi " + kEfi, "",
       "in.fd", "also an input"},
      {"both outputs one file", insert + " --rebased out.fd", "", "out.fd", "named twice"},
      // A disk that fills up: writes past 8 KiB fail.
      {"a full disk", insert, "trap '' XFSZ; ulimit -f 16; ", "out.fd",
       "could not be written whole"},
      {"a later output that cannot be made",
       "package " + kEfi + " o.ffs o.fv --depex o.depex --inf missing/o.inf", "", "missing/o.inf",
       "no such folder"},
  };
  for (const Case& c : cases) {
    ExpectRefused(Run(c.command, c.prefix), c.named, c.message, {"in.fd"}, c.name);
    EXPECT_EQ(ReadBytes(dir() / "in.fd"), sample) << c.name;
  }
}

// The module's image with a change: `patch` gets its bytes and the offsets
// of its COFF header, optional header and section table.
std::vector<uint8_t> PatchedModule(
    const std::function<void(std::vector<uint8_t>&, size_t, size_t, size_t)>& patch) {
  std::vector<uint8_t> bytes = ReadBytes(CLOCKRAMP_TEST_IMAGE);
  const size_t coff = (bytes[0x3C] | (bytes[0x3D] << 8)) + 4;
  const size_t optional = coff + 20;
  const size_t sections = optional + (bytes[coff + 16] | (bytes[coff + 17] << 8));
  patch(bytes, coff, optional, sections);
  return bytes;
}

TEST_F(FvTool, ImagesUnfitForAPeimAreRefusedByPackageAndInsert) {
  Put("in.fd", BuildSample().image);
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"built for x64", PatchedModule([](std::vector<uint8_t>& b, size_t coff, size_t, size_t) {
         b[coff] = 0x64;
         b[coff + 1] = 0x86;
       }),
       "machine i386: machine 0x8664"},
      {"SizeOfImage 0xFFFFFFFF",
       PatchedModule([](std::vector<uint8_t>& b, size_t, size_t optional, size_t) {
         std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(optional + 56), 4, 0xFF);
       }),
       "runs in place: SizeOfImage 0xFFFFFFFF"},
      {"a writable .text",
       PatchedModule([](std::vector<uint8_t>& b, size_t, size_t, size_t sections) {
         b[sections + 39] |= 0x80;
       }),
       "no writable section: writable: .text"},
      // A name that would clear the terminal is shown escaped.
      {"a writable section named with an escape",
       PatchedModule([](std::vector<uint8_t>& b, size_t, size_t, size_t sections) {
         const char name[8] = {'\x1B', '[', '2', 'J', 0, 0, 0, 0};
         std::copy(name, name + 8, b.begin() + static_cast<std::ptrdiff_t>(sections));
         b[sections + 39] |= 0x80;
       }),
       "writable: \\x1B[2J"},
  };
  for (const Case& c : cases) {
    Put("bad.efi", c.image);
    ExpectRefused(Run("package bad.efi o.ffs o.fv --inf o.inf"), "bad.efi", c.message,
                  {"in.fd", "bad.efi"}, std::string("package, ") + c.name);
    ExpectRefused(
        Run("insert in.fd out.fd --run-address 0x820000 --apriori --efi bad.efi --rebased r.efi"),
        "bad.efi", c.message, {"in.fd", "bad.efi"}, std::string("insert, ") + c.name);
  }
}

TEST_F(FvTool, ListShowsADamagedImageAsFarAsItCanAndExitsTwo) {
  std::vector<uint8_t> image = BuildSample().image;
  image[At(WalkImage(image), {0, 0}).offset + 16] ^= 1;  // a file's header checksum
  Put("in.fd", image);
  const auto result = Run("list in.fd");
  EXPECT_EQ(result.exit_code, 2) << result.output;
  EXPECT_NE(result.output.find("volume image, 0x"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("bytes, invalid header checksum"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find(testing::kSecVolumeName.ToString()), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("clockramp-fv: in.fd: damaged in 1 place, marked in the listing"),
            std::string::npos)
      << result.output;
  const auto help = Run("list --help");
  EXPECT_EQ(help.exit_code, 0) << help.output;
  EXPECT_NE(help.output.find("2  bad input or usage"), std::string::npos) << help.output;
  ExpectRefused(Run("insert in.fd"), "usage", "out is required", {"in.fd"}, "no output named");
}

TEST_F(FvTool, ProgressIsShownOnATerminalOnly) {
  // A raw section of 2 MiB, compressed.
  const std::vector<uint8_t> raw = BuildSection(kSectionRaw, std::vector<uint8_t>(2 << 20, 0));
  Put("in.fd", BuildFirmwareVolume(
                   {BuildFile(testing::kOtherPeimName, kFileTypeFreeform, kFfsAttribChecksum,
                              BuildGuidDefinedSection(kLzmaSectionGuid, kGuidedProcessingRequired,
                                                      LzmaCompress(raw)))}));
  const std::string shown = "decompressing 2 MiB: 100%";
  const auto piped = Run("list in.fd");
  ASSERT_EQ(piped.exit_code, 0) << piped.output;
  EXPECT_EQ(piped.output.find(shown), std::string::npos) << piped.output;
  const auto terminal = RunCommand(
      "script -qec " + Quote(Quote(CLOCKRAMP_TEST_FV_TOOL) + " list in.fd") + " /dev/null", dir());
  ASSERT_EQ(terminal.exit_code, 0) << terminal.output;
  EXPECT_NE(terminal.output.find(shown), std::string::npos) << terminal.output;
}

}  // namespace
}  // namespace clockramp::fv
