// The IA-32 engine on the real ClockRamp.efi: the same trace as the native
// engine wherever the image is loaded, a writable-data image stopped with a
// fault at the written address, hangs stopped and reported like the native
// engine's, and images that cannot run in place refused before they run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "board/NativeEngine.h"
#include "emu/Differential.h"
#include "emu/Ia32Engine.h"
#include "emu/ImageLoader.h"
#include "emu/Unicorn.h"

namespace {

namespace pe = clockramp::pe;

const std::shared_ptr<const pe::PeImage>& Image() {
  static const auto image = emu::ReadImage(emu::DefaultImagePath());
  return image;
}

emu::EmuOptions Options(uint32_t load_address = emu::memmap::kDefaultLoadAddress) {
  emu::EmuOptions options;
  options.image = Image();
  options.load_address = load_address;
  return options;
}

bool HasKind(const board::Trace& trace, board::EventKind kind) {
  return std::any_of(trace.begin(), trace.end(),
                     [kind](const board::Event& e) { return e.kind == kind; });
}

TEST(Ia32Engine, DefaultBoardRunsTheWholeRampAsNatively) {
  emu::Comparison c = emu::RunBoth(board::BoardConfig{}, Options());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  EXPECT_EQ(c.ia32.entryStatus, std::optional<uint32_t>(0));
  EXPECT_EQ(c.ia32.notifyStatus, std::optional<uint32_t>(0));
  EXPECT_EQ(c.ia32.board->ClockGen().Code(), 1024);
  EXPECT_EQ(c.ia32.trace().Events().back().kind, board::EventKind::State);

  // The figures are there and consistent: 24 steps, the callback's 1,632
  // bytes of buffers on the stack.
  const emu::EmuFigures& f = c.ia32.figures;
  EXPECT_EQ(f.step_instructions.size(), 23U);
  EXPECT_EQ(f.instructions, f.entry_instructions + f.callback_instructions);
  EXPECT_GT(f.callback_stack, 1632U);
  EXPECT_EQ(f.stack_high_water, std::max(f.entry_stack, f.callback_stack));
  EXPECT_GT(f.pauses, 0U);
}

TEST(Ia32Engine, TwoLoadAddressesGiveTheSameTrace) {
  board::BoardConfig config;
  config.setup = board::MakeSetup(990, 2, 5);
  emu::EmuResult low = emu::RunIa32(config, Options(0xFFF00020));
  emu::EmuResult high = emu::RunIa32(config, Options(0xFFFC4E60));
  ASSERT_FALSE(low.fault.has_value()) << low.fault->what;
  ASSERT_FALSE(high.fault.has_value()) << high.fault->what;
  board::CompareOptions exact;
  exact.ignoreCpu = false;
  EXPECT_EQ(board::FirstDifference(low.trace().Events(), high.trace().Events(), exact),
            std::nullopt);
  EXPECT_EQ(emu::Compare(board::RunNative(config), low), std::nullopt);
  EXPECT_EQ(low.board->ClockGen().Code(), 990);
  EXPECT_EQ(low.figures.load_address, 0xFFF00020U);
  EXPECT_EQ(high.figures.load_address, 0xFFFC4E60U);
}

TEST(Ia32Engine, WriteIntoTheImageStopsTheRunWithAFaultAtThatAddress) {
  emu::EmuOptions options = Options();
  options.image = emu::ReadImage(EMU_BAD_IMAGE);
  emu::EmuResult result = emu::RunIa32(board::BoardConfig{}, options);
  ASSERT_TRUE(result.fault.has_value());

  // The written word is the image's one writable global.
  const pe::Section* writable = nullptr;
  for (const pe::Section& s : options.image->sections()) {
    if (s.Writable()) {
      writable = &s;
    }
  }
  ASSERT_NE(writable, nullptr);
  uint32_t start = options.load_address + writable->virtual_address;
  EXPECT_GE(result.fault->address, start);
  EXPECT_LT(result.fault->address, start + std::max(writable->virtual_size, writable->raw_size));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", result.fault->address);
  EXPECT_NE(result.fault->what.find(hex), std::string::npos) << result.fault->what;
  EXPECT_NE(result.fault->what.find(writable->name), std::string::npos) << result.fault->what;

  // Nothing was returned; the trace still ends with the state.
  EXPECT_FALSE(result.entryStatus.has_value());
  EXPECT_FALSE(result.hung);
  EXPECT_EQ(result.trace().Events().back().kind, board::EventKind::State);
}

// Boards on which the ramp's first delay never ends.
struct HangCase {
  const char* name;
  board::BoardConfig config;
};

void PrintTo(const HangCase& c, std::ostream* out) { *out << c.name; }

board::BoardConfig FrozenTimer() {
  board::BoardConfig c;
  c.timerMode = board::TimerMode::Frozen;
  c.hangLimitNs = 2'000'000;
  return c;
}

board::BoardConfig DecodingAtAnotherBase() {
  board::BoardConfig c;
  c.acpiBase = 0x400;
  c.acpiControl = 0x80;  // already on, so the module leaves the base alone
  c.hangLimitNs = 2'000'000;
  return c;
}

class Ia32Hang : public ::testing::TestWithParam<HangCase> {};

TEST_P(Ia32Hang, IsStoppedAndReportedLikeTheNativeHang) {
  emu::Comparison c = emu::RunBoth(GetParam().config, Options());
  EXPECT_FALSE(c.difference.has_value()) << *c.difference;
  EXPECT_TRUE(c.ia32.hung);
  EXPECT_FALSE(c.ia32.timed_out);
  EXPECT_FALSE(c.ia32.notifyStatus.has_value());
  const auto& events = c.ia32.trace().Events();
  ASSERT_GE(events.size(), 2U);
  EXPECT_EQ(events.back().kind, board::EventKind::State);
  EXPECT_EQ(events[events.size() - 2].kind, board::EventKind::Hang);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Ia32Hang,
    ::testing::Values(HangCase{"FrozenTimer", FrozenTimer()},
                      HangCase{"DecodingAtAnotherBase", DecodingAtAnotherBase()}),
    [](const ::testing::TestParamInfo<HangCase>& info) { return info.param.name; });

TEST(Ia32Engine, WallClockLimitStopsASpinAsAHang) {
  board::BoardConfig config = FrozenTimer();
  config.hangLimitNs = UINT64_MAX;  // the board alone would never stop it
  emu::EmuOptions options = Options();
  options.measure = false;
  options.time_limit_ms = 50;
  emu::EmuResult result = emu::RunIa32(config, options);
  EXPECT_TRUE(result.timed_out);
  EXPECT_TRUE(result.hung);
  EXPECT_FALSE(result.fault.has_value());
  EXPECT_NE(result.board->StopReason().find("wall-clock"), std::string::npos);
  EXPECT_TRUE(HasKind(result.trace(), board::EventKind::Hang));
  EXPECT_EQ(result.trace().Events().back().kind, board::EventKind::State);
}

// A copy of the image's bytes with one change, parsed again.
pe::PeImage Patched(const std::function<void(std::vector<uint8_t>&, const pe::PeImage&)>& patch) {
  std::vector<uint8_t> bytes = Image()->bytes();
  patch(bytes, *Image());
  return pe::PeImage::Parse(bytes);
}

// The file offset of the first relocation entry (after the block's 8-byte header).
uint32_t FirstRelocationEntry(const pe::PeImage& image) {
  auto dir = image.Directory(pe::kBaseRelocationDirectory);
  return *image.RvaToOffset(dir.rva) + 8;
}

TEST(ImageLoader, RefusesWhatCannotRunInPlace) {
  struct Case {
    const char* name;
    pe::PeImage image;
    uint32_t address;
    const char* expected;
  };
  const Case cases[] = {
      {"DIR64 relocation", Patched([](std::vector<uint8_t>& b, const pe::PeImage& img) {
         uint32_t at = FirstRelocationEntry(img);
         b[at + 1] = static_cast<uint8_t>((b[at + 1] & 0x0F) | 0xA0);
       }),
       emu::memmap::kDefaultLoadAddress, "DIR64"},
      {"misaligned", *Image(), emu::memmap::kDefaultLoadAddress + 16, "32-byte"},
      {"below the flash", *Image(), 0x00400000, "flash window"},
      {"past the flash end", *Image(), 0xFFFFFFE0, "flash window"},
  };
  for (const Case& c : cases) {
    try {
      emu::CheckLoadable(c.image, c.address);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const emu::EmuError& error) {
      EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos)
          << c.name << ": " << error.what();
    }
  }
  EXPECT_NO_THROW(emu::CheckLoadable(*Image(), emu::memmap::kDefaultLoadAddress));
}

}  // namespace
