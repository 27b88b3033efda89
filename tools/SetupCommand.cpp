#include "tools/SetupCommand.h"

#include <charconv>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "board/BoardConfig.h"
#include "board/VariableStore.h"
#include "image/OutputSet.h"
#include "image/Printable.h"
#include "tools/EfiVariableFile.h"
#include "tools/ExitStatus.h"

namespace clockramp::tool {
namespace {

namespace layout = board::setup;

constexpr uint64_t kMaxCode = 0x7FF;  // 11 bits reach the clock generator
constexpr size_t kFieldsEnd = layout::kRampStepDelayOffset + 1;

// A bad option: the message names it.
class OptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

uint16_t TargetOf(const std::vector<uint8_t>& data) {
  return static_cast<uint16_t>(data[layout::kRampTargetCodeOffset] |
                               (data[layout::kRampTargetCodeOffset + 1] << 8));
}

// RampLevelSelect from "auto" or a number 0-255.
uint8_t ParseLevel(std::string_view text) {
  if (text == "auto") {
    return layout::kLevelAutomatic;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 0xFF) {
    throw OptionError(fmt::format(
        "--level {}: must be a level 0-255 (0-3 fixed, others as the module reads them) or "
        "\"auto\" (255)",
        files::Printable(text)));
  }
  return static_cast<uint8_t>(value);
}

std::string LevelText(uint8_t level) {
  return level == layout::kLevelAutomatic ? "255 (automatic)" : std::to_string(level);
}

// "old → new", or "old (unchanged)".
std::string Change(const std::string& before, const std::string& after) {
  return before == after ? before + " (unchanged)" : before + " → " + after;
}

}  // namespace

int RunSetupCommand(const SetupOptions& options, std::ostream& out, std::ostream& err) {
  try {
    if (options.target && *options.target > kMaxCode) {
      throw OptionError(fmt::format("--target {}: above 2047, the largest 11-bit frequency code",
                                    *options.target));
    }
    if (options.delay && *options.delay > 0xFF) {
      throw OptionError(fmt::format("--delay {}: out of range (0 to 255 µs)", *options.delay));
    }
    std::optional<uint8_t> level;
    if (options.level) {
      level = ParseLevel(*options.level);
    }
    EfiVariableFile file{board::kDefaultVariableAttributes,
                         board::MakeSetup(1024, layout::kLevelAutomatic, 50)};
    std::string from = "the default board";
    files::OutputSet outputs;
    // The name is checked first: a file named for another variable is
    // refused before anything is read or written.
    CheckVariableFileName(options.output, SetupVariableId());
    if (options.input) {
      outputs.AddInput(*options.input);
      file = LoadEfiVariableFile(*options.input, SetupVariableId());
      from = files::Printable(*options.input);
      if (file.data.size() < kFieldsEnd) {
        throw EfiVariableFileError(
            *options.input,
            fmt::format("holds {} bytes of data, too short for the ramp's fields "
                        "(RampStepDelay is at offset {}: at least {} bytes)",
                        file.data.size(), layout::kRampStepDelayOffset, kFieldsEnd));
      }
    }
    std::vector<uint8_t>& data = file.data;
    const std::vector<uint8_t> before = data;
    if (options.target) {
      data[layout::kRampTargetCodeOffset] = static_cast<uint8_t>(*options.target);
      data[layout::kRampTargetCodeOffset + 1] = static_cast<uint8_t>(*options.target >> 8);
    }
    if (level) {
      data[layout::kRampLevelSelectOffset] = *level;
    }
    if (options.delay) {
      data[layout::kRampStepDelayOffset] = static_cast<uint8_t>(*options.delay);
    }
    outputs.Write(options.output, EncodeEfiVariableFile(file));
    outputs.Commit();

    out << fmt::format("Setup from {}: {} bytes, attributes 0x{:08X}\n", from, data.size(),
                       file.attributes);
    out << fmt::format("  RampTargetCode   {}\n",
                       Change(std::to_string(TargetOf(before)), std::to_string(TargetOf(data))));
    out << fmt::format("  RampLevelSelect  {}\n",
                       Change(LevelText(before[layout::kRampLevelSelectOffset]),
                              LevelText(data[layout::kRampLevelSelectOffset])));
    out << fmt::format("  RampStepDelay    {}\n",
                       Change(fmt::format("{} µs", before[layout::kRampStepDelayOffset]),
                              fmt::format("{} µs", data[layout::kRampStepDelayOffset])));
    out << fmt::format("written to {}\n", files::Printable(options.output));
    if (data.size() > layout::kSize) {
      // A board's own "Setup" is often larger than the module's buffer: the
      // file is what was asked for, but the module will not use it.
      err << fmt::format(
          "clockramp: {}: warning: \"Setup\" holds {} bytes of data, more than the {}-byte "
          "buffer the module reads it into: GetVariable will answer EFI_BUFFER_TOO_SMALL and the "
          "module will do nothing on this board (no ramp, no device access)\n",
          files::Printable(options.output), data.size(), layout::kSize);
    }
    return kExitSuccess;
  } catch (const OptionError& e) {
    err << "clockramp: setup: " << e.what() << "\n";
  } catch (const EfiVariableFileError& e) {
    err << "clockramp: " << e.what() << "\n";
  } catch (const files::OutputError& e) {
    err << "clockramp: " << e.what() << "\n";
  }
  return kExitInvalid;
}

}  // namespace clockramp::tool
