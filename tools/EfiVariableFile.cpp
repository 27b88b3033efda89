#include "tools/EfiVariableFile.h"

#include <filesystem>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "image/InputFile.h"
#include "image/Printable.h"

namespace clockramp::tool {
namespace {

constexpr size_t kAttributesSize = 4;
constexpr size_t kGuidTextSize = 36;  // "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9"

}  // namespace

VariableId SetupVariableId() { return {"Setup", board::guids::kSetupVariable}; }

VariableId PchRcConfigurationVariableId() {
  return {"PchRcConfiguration", board::guids::kPchRcConfigurationVariable};
}

EfiVariableFileError::EfiVariableFileError(std::string source, std::string problem)
    : std::runtime_error(fmt::format("{}: {}", files::Printable(source), problem)),
      source_(std::move(source)),
      problem_(std::move(problem)) {}

EfiVariableFile ParseEfiVariableFile(std::span<const uint8_t> bytes, const std::string& source) {
  if (bytes.size() < kAttributesSize) {
    throw EfiVariableFileError(
        source, fmt::format("truncated: {} bytes, fewer than the 4 bytes of attributes that "
                            "start an efivarfs file",
                            bytes.size()));
  }
  EfiVariableFile file;
  for (size_t i = 0; i < kAttributesSize; ++i) {
    file.attributes |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  }
  if ((file.attributes & ~kKnownVariableAttributes) != 0) {
    throw EfiVariableFileError(
        source, fmt::format("attributes 0x{:08X} have bits no variable has (known: 0x{:02X}); "
                            "an efivarfs file starts with 4 bytes of attributes, little-endian",
                            file.attributes, kKnownVariableAttributes));
  }
  file.data.assign(bytes.begin() + kAttributesSize, bytes.end());
  return file;
}

std::vector<uint8_t> EncodeEfiVariableFile(const EfiVariableFile& file) {
  std::vector<uint8_t> bytes;
  bytes.reserve(kAttributesSize + file.data.size());
  for (size_t i = 0; i < kAttributesSize; ++i) {
    bytes.push_back(static_cast<uint8_t>(file.attributes >> (8 * i)));
  }
  bytes.insert(bytes.end(), file.data.begin(), file.data.end());
  return bytes;
}

void CheckVariableFileName(const std::string& path, const VariableId& expected) {
  std::string name = std::filesystem::path(path).filename().string();
  if (name.size() < kGuidTextSize + 2 || name[name.size() - kGuidTextSize - 1] != '-') {
    return;
  }
  std::optional<board::Guid> guid = board::Guid::Parse(name.substr(name.size() - kGuidTextSize));
  if (!guid) {
    return;
  }
  std::string variable = name.substr(0, name.size() - kGuidTextSize - 1);
  if (variable != expected.name || *guid != expected.guid) {
    throw EfiVariableFileError(
        path, fmt::format("the file name is that of variable \"{}\" of vendor {}, not \"{}\" of "
                          "vendor {}",
                          files::Printable(variable), guid->ToString(), expected.name,
                          expected.guid.ToString()));
  }
}

EfiVariableFile LoadEfiVariableFile(const std::string& path, const VariableId& expected) {
  CheckVariableFileName(path, expected);
  std::vector<uint8_t> bytes;
  try {
    bytes = files::ReadInput(path, files::kVariableFileLimit, "efivarfs variable file");
  } catch (const files::InputError& e) {
    throw EfiVariableFileError(path, e.Problem());
  }
  return ParseEfiVariableFile(bytes, path);
}

}  // namespace clockramp::tool
