#include "emu/Differential.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>

#include "board/EventSink.h"
#include "board/Status.h"
#include "board/Trace.h"

namespace emu {

namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Optional(const std::optional<uint32_t>& value) {
  return value ? Hex(*value) : std::string("none");
}

// A small helper over one seeded generator.
class Dice {
 public:
  explicit Dice(uint64_t seed) : rng_(seed) {}
  // Uniform in [lo, hi].
  uint64_t Between(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
  }
  uint8_t Byte() { return static_cast<uint8_t>(Between(0, 255)); }
  // True with probability percent/100.
  bool Chance(unsigned percent) { return Between(0, 99) < percent; }

 private:
  std::mt19937_64 rng_;
};

// An SMBus failure status: mostly real errors, now and then a warning (a
// transaction carried out, which the module must take as success).
uint32_t RandomStatus(Dice& dice) {
  switch (dice.Between(0, 5)) {
    case 0:
      return board::kEfiDeviceError;
    case 1:
      return 0x80000012U;  // EFI_TIMEOUT
    case 2:
      return board::kEfiInvalidParameter;
    case 3:
      return 0x80000000U | static_cast<uint32_t>(dice.Between(1, 0x40));
    case 4:
      return static_cast<uint32_t>(dice.Between(1, 6));  // a warning
    default:
      return board::kEfiUnsupported;
  }
}

// A variable image resized: full, short of the fields the module needs,
// exactly long enough, or longer than the module's buffer.
void Resize(Dice& dice, std::vector<uint8_t>& data, size_t needed, size_t buffer) {
  switch (dice.Between(0, 9)) {
    case 0:
      data.resize(dice.Between(0, needed - 1));
      break;
    case 1:
      data.resize(needed);
      break;
    case 2:
      data.resize(dice.Between(buffer + 1, buffer + 64), 0x5A);
      break;
    default:
      break;
  }
}

}  // namespace

namespace {

// The difference between two finished runs whose traces were compared
// already (`traceDifference`, IA-32 against native).
std::optional<std::string> CompareRuns(const board::RunResult& native, const EmuOutcome& ia32,
                                       const board::Board& ia32Board,
                                       std::optional<std::string> traceDifference) {
  if (ia32.fault) {
    return "the IA-32 engine faulted: " + ia32.fault->what;
  }
  if (ia32.timed_out) {
    return std::string("the IA-32 engine ran out of wall-clock time");
  }
  if (traceDifference) {
    return "trace (IA-32 vs native): " + *traceDifference;
  }
  if (!(ia32Board.State() == native.board->State())) {
    return std::string("final board state differs");
  }
  if (ia32.entryStatus != native.entryStatus || ia32.notifyStatus != native.notifyStatus ||
      ia32.notifications != native.notifications || ia32.hung != native.hung) {
    std::ostringstream text;
    text << "outcome differs: IA-32 entry " << Optional(ia32.entryStatus) << " notify "
         << Optional(ia32.notifyStatus) << " notifications " << ia32.notifications << " hung "
         << ia32.hung << "; native entry " << Optional(native.entryStatus) << " notify "
         << Optional(native.notifyStatus) << " notifications " << native.notifications << " hung "
         << native.hung;
    return text.str();
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Compare(const board::RunResult& native, const EmuResult& ia32) {
  if (ia32.fault || ia32.timed_out) {
    return CompareRuns(native, ia32, *ia32.board, std::nullopt);
  }
  return CompareRuns(native, ia32, *ia32.board,
                     board::FirstDifference(ia32.trace().Events(), native.trace().Events()));
}

std::optional<std::string> CheckBoth(const board::BoardConfig& config, const EmuOptions& options) {
  const board::RunResult native = board::RunNative(config);
  return CheckAgainst(native, native.trace().Events(), config, options).difference;
}

StreamedComparison CheckAgainst(const board::RunResult& native,
                                std::span<const board::Event> nativeEvents,
                                const board::BoardConfig& config, const EmuOptions& options,
                                board::EventSink* sink) {
  board::TraceMatcher matcher(nativeEvents);
  board::FanOut both;
  both.Add(matcher);
  if (sink != nullptr) {
    both.Add(*sink);
  }
  StreamedComparison c;
  c.ia32 = RunIa32(config, options, &both);
  c.difference = CompareRuns(native, c.ia32, *c.ia32.board, matcher.Finish());
  return c;
}

Comparison RunBoth(const board::BoardConfig& config, const EmuOptions& options) {
  Comparison c;
  c.native = board::RunNative(config);
  c.ia32 = RunIa32(config, options);
  c.difference = Compare(c.native, c.ia32);
  return c;
}

board::BoardConfig RandomConfig(uint64_t seed) {
  Dice dice(seed);
  board::BoardConfig config;

  // Clock generator: a random code with random neighbouring registers.
  auto current = static_cast<uint16_t>(dice.Between(0, 0x7FF));
  config.clockGenerator = board::MakeClockGeneratorRegisters(current);
  for (uint8_t reg : {0, 1, 3, 6, 9}) {
    if (dice.Chance(50)) {
      config.clockGenerator[reg] = dice.Byte();
    }
  }
  if (dice.Chance(30)) {
    config.clockGenerator[20] = static_cast<uint8_t>((dice.Byte() & 0xF8) | (current >> 8));
  }
  if (dice.Chance(25)) {
    config.reportedByteCount = static_cast<uint8_t>(dice.Between(0, 40));
  }
  for (uint64_t i = dice.Chance(60) ? 0 : dice.Between(1, 3); i > 0; --i) {
    config.smbusFailures.push_back({dice.Between(0, 80), RandomStatus(dice)});
  }
  // Warnings on their own, often early where the image reads are: the
  // engines must deliver a warned read's bytes and carry a warned write out.
  for (uint64_t i = dice.Chance(70) ? 0 : dice.Between(1, 4); i > 0; --i) {
    uint64_t at = dice.Chance(30) ? dice.Between(0, 2) : dice.Between(0, 60);
    config.smbusFailures.push_back({at, static_cast<uint32_t>(dice.Between(1, 6))});
  }

  // "Setup": the target near the current code (or equal, or beyond 11 bits).
  uint16_t target = current;  // one time in ten: nothing to ramp
  uint64_t kind = dice.Between(0, 9);
  if (kind == 1) {
    target = static_cast<uint16_t>(dice.Between(0x800, 0xFFFF));
  } else if (kind > 1) {
    auto step = static_cast<int>(dice.Between(1, 12));
    int signed_target = dice.Chance(50) ? current + step : current - step;
    target = static_cast<uint16_t>(std::clamp(signed_target, 0, 0x7FF));
  }
  uint8_t level = board::setup::kLevelAutomatic;
  switch (dice.Between(0, 5)) {
    case 0:
    case 1:
      break;
    case 5:
      level = dice.Byte();
      break;
    default:
      level = static_cast<uint8_t>(dice.Between(0, 3));
      break;
  }
  auto delay = static_cast<uint8_t>(dice.Between(0, 20));
  if (dice.Chance(5)) {
    config.setup.reset();
  } else {
    config.setup = board::MakeSetup(target, level, delay);
    Resize(dice, *config.setup, board::setup::kRampStepDelayOffset + 1, board::setup::kSize);
  }
  if (dice.Chance(10)) {
    config.pchRcConfiguration.reset();
  } else {
    config.pchRcConfiguration = board::MakePchRcConfiguration(dice.Chance(60) ? 5 : dice.Byte());
    Resize(dice, *config.pchRcConfiguration, board::pchrc::kSelectorOffset + 1,
           board::pchrc::kSize);
  }

  // Platform controller and PCD.
  if (dice.Chance(20)) {
    config.acpiControl = static_cast<uint8_t>(dice.Byte() | 0x80);
    config.acpiBase = dice.Chance(70) ? 0x500 : static_cast<uint16_t>(dice.Between(1, 0xFF) << 8);
  } else if (dice.Chance(20)) {
    config.acpiControl = static_cast<uint8_t>(dice.Byte() & 0x7F);
    config.acpiBase = static_cast<uint16_t>(dice.Between(0, 0xFFFF));
  }
  switch (dice.Between(0, 19)) {
    case 0:
      config.pcdPcieBase = 0;  // no configuration access at all
      break;
    case 1:
      config.pcdPcieBase = 0x100000000ULL | config.pcieBase;  // only the low half counts
      break;
    case 2:
      config.pcdPcieBase = 0xD0000000;  // a base where nothing decodes
      break;
    case 3:
      config.pcieBase = 0xC0000000;
      break;
    default:
      break;
  }

  // ACPI timer.
  config.timerStart = static_cast<uint32_t>(dice.Chance(30) ? dice.Between(0xFFFF00, 0xFFFFFF)
                                                            : dice.Between(0, 0xFFFFFF));
  uint64_t timer = dice.Between(0, 19);
  if (timer == 0) {
    config.timerMode = board::TimerMode::Frozen;
  } else if (timer == 1) {
    config.timerMode = board::TimerMode::StopsAfter;
    config.timerStopsAfterNs = dice.Between(0, 300'000);
  }
  config.hangLimitNs = 1'000'000;

  // Super I/O.
  config.superIoSelected = dice.Byte();
  for (uint8_t device : {0x08, 0x0A}) {
    for (uint8_t reg : {0x30, 0xE7, 0xF6}) {
      if (dice.Chance(30)) {
        config.superIoDevices[device][reg] = dice.Byte();
      }
    }
  }

  // PEI Foundation.
  switch (dice.Between(0, 9)) {
    case 0:
      config.smbusPpi = board::SmbusPpiTiming::Absent;
      break;
    case 1:
    case 2:
    case 3:
    case 4:
      config.smbusPpi = board::SmbusPpiTiming::BeforeEntry;
      break;
    default:
      config.smbusPpi = board::SmbusPpiTiming::AfterEntry;
      break;
  }
  config.variablePpi = !dice.Chance(5);
  config.pcdPpi = !dice.Chance(5);
  if (dice.Chance(5)) {
    config.notifyPpiStatus = 0x80000000U | static_cast<uint32_t>(dice.Between(1, 0x20));
  }
  return config;
}

std::string DescribeConfig(const board::BoardConfig& c) {
  std::ostringstream text;
  uint16_t code = static_cast<uint16_t>(((c.clockGenerator[20] & 7) << 8) | c.clockGenerator[19]);
  text << "code " << code;
  if (c.setup) {
    const auto& s = *c.setup;
    text << ", Setup " << s.size() << " bytes";
    if (s.size() > board::setup::kRampStepDelayOffset) {
      text << " (target "
           << (s[board::setup::kRampTargetCodeOffset] |
               (s[board::setup::kRampTargetCodeOffset + 1] << 8))
           << ", level " << Hex(s[board::setup::kRampLevelSelectOffset]) << ", delay "
           << int{s[board::setup::kRampStepDelayOffset]} << " us)";
    }
  } else {
    text << ", no Setup";
  }
  if (c.pchRcConfiguration) {
    text << ", PchRc " << c.pchRcConfiguration->size() << " bytes";
  } else {
    text << ", no PchRc";
  }
  text << ", reg0/1/3/6/9 " << Hex(c.clockGenerator[0]) << "/" << Hex(c.clockGenerator[1]) << "/"
       << Hex(c.clockGenerator[3]) << "/" << Hex(c.clockGenerator[6]) << "/"
       << Hex(c.clockGenerator[9]);
  if (c.reportedByteCount) {
    text << ", count " << int{*c.reportedByteCount};
  }
  for (const auto& f : c.smbusFailures) {
    text << ", fail #" << f.transaction << " " << Hex(f.status);
  }
  static const char* const kTiming[] = {"after", "before", "absent"};
  text << ", SMBus2 " << kTiming[static_cast<int>(c.smbusPpi)];
  if (!c.variablePpi) {
    text << ", no variable PPI";
  }
  if (!c.pcdPpi) {
    text << ", no PCD PPI";
  }
  if (c.notifyPpiStatus != 0) {
    text << ", NotifyPpi " << Hex(c.notifyPpiStatus);
  }
  text << ", ACPI " << Hex(c.acpiBase) << "/" << Hex(c.acpiControl) << ", PCIe " << Hex(c.pcieBase);
  if (c.pcdPcieBase) {
    text << " (PCD " << Hex(*c.pcdPcieBase) << ")";
  }
  text << ", timer " << Hex(c.timerStart) << " mode " << static_cast<int>(c.timerMode);
  return text.str();
}

}  // namespace emu
