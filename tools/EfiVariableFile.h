// Firmware variables as Linux's efivarfs presents them
// (/sys/firmware/efi/efivars/Name-GUID): a file of 4 bytes of attributes,
// little-endian, followed by the variable's data. Reading such a file back
// from the board and writing a changed one through efivarfs is how an
// engineer tries new "Setup" values.
#ifndef CLOCKRAMP_TOOLS_EFIVARIABLEFILE_H_
#define CLOCKRAMP_TOOLS_EFIVARIABLEFILE_H_

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/Guid.h"

namespace clockramp::tool {

// Which variable a file must hold.
struct VariableId {
  std::string name;  // "Setup"
  board::Guid guid;
};

VariableId SetupVariableId();
VariableId PchRcConfigurationVariableId();

struct EfiVariableFile {
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
  bool operator==(const EfiVariableFile&) const = default;
};

// A variable file that cannot be used. what() is "SOURCE: PROBLEM", the
// source's bytes that are not printable ASCII escaped.
class EfiVariableFileError : public std::runtime_error {
 public:
  EfiVariableFileError(std::string source, std::string problem);
  [[nodiscard]] const std::string& Source() const { return source_; }
  [[nodiscard]] const std::string& Problem() const { return problem_; }

 private:
  std::string source_;
  std::string problem_;
};

// The attribute bits a UEFI variable can carry (NV, BS, RT, hardware error
// record, the two authenticated-write kinds, append write).
inline constexpr uint32_t kKnownVariableAttributes = 0x7F;

// Splits the file contents: attributes, then data. Throws
// EfiVariableFileError for a file shorter than the attributes, or attributes
// with bits no variable has (most likely a file without them).
EfiVariableFile ParseEfiVariableFile(std::span<const uint8_t> bytes, const std::string& source);

// The file contents: attributes, little-endian, then the data.
std::vector<uint8_t> EncodeEfiVariableFile(const EfiVariableFile& file);

// When the path's last component has the efivarfs form "Name-GUID", checks
// that it names `expected`; any other file name is not checked. Throws
// EfiVariableFileError on a mismatch.
void CheckVariableFileName(const std::string& path, const VariableId& expected);

// Reads a file of at most files::kVariableFileLimit bytes (1 MiB: a board's
// whole variable store is a few hundred KiB) and checks its name as above.
// Throws EfiVariableFileError.
EfiVariableFile LoadEfiVariableFile(const std::string& path, const VariableId& expected);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_EFIVARIABLEFILE_H_
