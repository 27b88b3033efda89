// Register dumps in the text layout of i2cdump (i2c-tools), as an engineer
// captures them on a running board: a header row of the 16 column digits,
// then one row per 16 registers, "00: " followed by 16 cells and an ASCII
// column. A cell is two hex digits, "XX" for a register whose read failed, or
// blank for a register the dump did not cover (a limited range, or the end of
// a block). Byte mode and the block modes share this layout; word modes do
// not and are refused.
#ifndef CLOCKRAMP_TOOLS_I2CDUMP_H_
#define CLOCKRAMP_TOOLS_I2CDUMP_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "board/ClockGenerator.h"

namespace clockramp::tool {

// One register as a dump shows it.
struct DumpedRegister {
  enum class State : uint8_t {
    Absent,      // blank cell or missing row: the dump says nothing
    Value,       // two hex digits
    Unreadable,  // XX: the read failed
  };
  State state = State::Absent;
  uint8_t value = 0;  // with State::Value

  bool operator==(const DumpedRegister&) const = default;
};

using RegisterDump = std::array<DumpedRegister, 256>;

// A dump that cannot be read. what() is "SOURCE:LINE: PROBLEM", or
// "SOURCE: PROBLEM" for a problem with no line (an unreadable file); text
// from the file or its name is shown with unprintable bytes escaped.
class I2cDumpError : public std::runtime_error {
 public:
  I2cDumpError(std::string source, size_t line, std::string problem);
  [[nodiscard]] const std::string& Source() const { return source_; }
  [[nodiscard]] size_t Line() const { return line_; }  // from 1; 0 for none
  [[nodiscard]] const std::string& Problem() const { return problem_; }

 private:
  std::string source_;
  size_t line_;
  std::string problem_;
};

// Parses dump text; `source` names it in errors. Lines before the header row
// (i2cdump's own messages) are skipped; after it only rows and blank lines
// may follow, each row once, in increasing order. Throws I2cDumpError.
RegisterDump ParseI2cDump(std::string_view text, const std::string& source);

// A dump file is at most this large: i2cdump's output is under 2 KB.
inline constexpr uint64_t kI2cDumpFileLimit = uint64_t{1024} * 1024;

// Reads a dump file of at most kI2cDumpFileLimit bytes. Throws I2cDumpError.
RegisterDump LoadI2cDump(const std::string& path);

// Writes a dump in byte-mode layout: the header and all 16 rows, blank cells
// for absent registers, XX for unreadable ones, and the ASCII column (a
// printable byte as itself, 0x00 and 0xFF as '.', other bytes as '?').
void WriteI2cDump(std::ostream& out, const RegisterDump& dump);

// What a byte-mode dump of the device would show now: every register as a
// read delivers it, XX for the unreadable ones.
RegisterDump DumpOf(const board::ClockGenerator& device);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_I2CDUMP_H_
