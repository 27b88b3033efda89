// The IA-32 engine running an image at its own ImageBase with no relocation
// applied, as a rebased image executes in place: the rebased ClockRamp.efi
// gives the native engine's trace wherever it was rebased to, an image whose
// ImageBase was changed without applying its relocations does not, and a
// base that clashes with the memory map is refused before the run.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/NativeEngine.h"
#include "emu/Differential.h"
#include "emu/Ia32Engine.h"
#include "emu/Unicorn.h"
#include "image/Rebase.h"

namespace {

namespace pe = clockramp::pe;

const std::shared_ptr<const pe::PeImage>& Image() {
  static const auto image = emu::ReadImage(emu::DefaultImagePath());
  return image;
}

emu::EmuOptions AtBase(pe::PeImage image) {
  emu::EmuOptions options;
  options.image = std::make_shared<const pe::PeImage>(std::move(image));
  options.at_image_base = true;
  return options;
}

board::BoardConfig AfterEntryBoard() {
  board::BoardConfig config;
  config.smbusPpi = board::SmbusPpiTiming::AfterEntry;
  return config;
}

TEST(AtImageBase, RebasedImageRunsLikeTheNativeEngine) {
  // Where OVMF's PEI volume puts the image in RAM, a flash address that is
  // 8- but not 32-byte aligned, and one low in RAM.
  for (const uint32_t base : {0x00847270U, 0xFFF81038U, 0x00400000U}) {
    const emu::EmuOptions options = AtBase(pe::PeImage::Parse(pe::RebaseImage(*Image(), base)));
    for (const board::BoardConfig& config : {board::BoardConfig{}, AfterEntryBoard()}) {
      const emu::Comparison c = emu::RunBoth(config, options);
      EXPECT_FALSE(c.difference.has_value()) << std::hex << base << ": " << *c.difference;
      EXPECT_EQ(c.ia32.figures.load_address, base);
      EXPECT_EQ(c.ia32.board->ClockGen().Code(), c.native.board->ClockGen().Code());
    }
  }
}

TEST(AtImageBase, NoRelocationIsApplied) {
  // Only the ImageBase field moved: the twelve absolute addresses still
  // point near 0, so the run must go wrong where the rebased one did not.
  std::vector<uint8_t> bytes = Image()->bytes();
  const uint32_t field = (bytes[0x3C] | (bytes[0x3D] << 8)) + 4 + 20 + 28;
  const uint32_t base = 0x00847270;
  for (unsigned i = 0; i < 4; ++i) {
    bytes[field + i] = static_cast<uint8_t>(base >> (8 * i));
  }
  const emu::Comparison c = emu::RunBoth(board::BoardConfig{}, AtBase(pe::PeImage::Parse(bytes)));
  EXPECT_TRUE(c.difference.has_value())
      << "an image with stale absolute addresses ran like the native engine";
}

TEST(AtImageBase, BasesThatClashWithTheMemoryMapAreRefused) {
  struct Case {
    const char* name;
    uint32_t base;
  };
  const Case cases[] = {
      {"the base the build links at (0: the null-pointer guard)", 0},
      {"the Foundation data", 0x00100000},
      {"the stack", 0x00200800},
      {"the PCI Express window", 0xE0000000},
  };
  for (const Case& c : cases) {
    const emu::EmuOptions options =
        AtBase(c.base == 0 ? *Image() : pe::PeImage::Parse(pe::RebaseImage(*Image(), c.base)));
    EXPECT_THROW(emu::RunIa32(board::BoardConfig{}, options), emu::EmuError) << c.name;
  }
}

}  // namespace
