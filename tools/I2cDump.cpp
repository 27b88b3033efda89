#include "tools/I2cDump.h"

#include <cctype>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "image/InputFile.h"
#include "image/Printable.h"
#include "tools/TextLines.h"

namespace clockramp::tool {
namespace {

using files::Printable;

constexpr size_t kColumns = 16;
constexpr size_t kFirstCell = 4;  // "00: "
constexpr size_t kCellWidth = 3;  // two digits and a space

constexpr std::string_view kHeader =
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef";

// The value of one hex digit, or nullopt.
std::optional<unsigned> HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<unsigned>(c - '0');
  }
  int lower = std::tolower(static_cast<unsigned char>(c));
  if (lower >= 'a' && lower <= 'f') {
    return static_cast<unsigned>(lower - 'a' + 10);
  }
  return std::nullopt;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) != 0) {
      ++i;
    }
    size_t start = i;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) == 0) {
      ++i;
    }
    if (i > start) {
      words.push_back(line.substr(start, i - start));
    }
  }
  return words;
}

// The header row: the column digits 0 .. f, then optionally the ASCII
// column's heading.
bool IsHeader(const std::vector<std::string_view>& words) {
  if (words.size() != kColumns && words.size() != kColumns + 1) {
    return false;
  }
  for (size_t i = 0; i < kColumns; ++i) {
    if (words[i].size() != 1 || HexDigit(words[i][0]) != i) {
      return false;
    }
  }
  return words.size() == kColumns || words[kColumns] == "0123456789abcdef";
}

// A word-mode header ("0,8  1,9 ..."), which lays rows out differently.
bool IsWordHeader(const std::vector<std::string_view>& words) {
  return !words.empty() && (words[0] == "0,8" || words[0] == "0,1");
}

// Whether the line starts like a row: two hex digits and a colon.
bool LooksLikeRow(std::string_view line) {
  return line.size() >= 3 && HexDigit(line[0]) && HexDigit(line[1]) && line[2] == ':';
}

std::string_view TrimRight(std::string_view line) {
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
    line.remove_suffix(1);
  }
  return line;
}

// Reads the 16 cells of the row at `base` into `dump`.
void ReadCells(std::string_view line, unsigned base, RegisterDump& dump, const std::string& source,
               size_t lineNumber) {
  auto fail = [&](const std::string& problem) { throw I2cDumpError(source, lineNumber, problem); };
  if (line.size() > 3 && line[3] != ' ') {
    fail(fmt::format("row {:02x}: a space must follow the colon", base));
  }
  for (size_t column = 0; column < kColumns; ++column) {
    size_t at = kFirstCell + column * kCellWidth;
    unsigned reg = base + static_cast<unsigned>(column);
    if (at >= line.size()) {
      break;  // a row cut short: the rest is blank
    }
    std::string_view cell = line.substr(at, 2);
    if (at + 2 < line.size() && line[at + 2] != ' ') {
      fail(
          fmt::format("register 0x{:02X}: \"{}\" is followed by '{}' where a space belongs "
                      "(cells are two characters apart from column {})",
                      reg, Printable(cell), Printable(line.substr(at + 2, 1)), kFirstCell + 1));
    }
    DumpedRegister& out = dump[reg];
    if (cell == "  ") {
      continue;
    }
    if (cell == "XX") {
      out.state = DumpedRegister::State::Unreadable;
      continue;
    }
    auto high = HexDigit(cell[0]);
    auto low = cell.size() == 2 ? HexDigit(cell[1]) : std::nullopt;
    if (!high || !low) {
      fail(fmt::format("register 0x{:02X}: \"{}\" is neither two hex digits nor XX", reg,
                       Printable(cell)));
    }
    out.state = DumpedRegister::State::Value;
    out.value = static_cast<uint8_t>(*high * 16 + *low);
  }
}

// The ASCII column's character for a cell.
char AsciiOf(const DumpedRegister& reg) {
  switch (reg.state) {
    case DumpedRegister::State::Absent:
      return ' ';
    case DumpedRegister::State::Unreadable:
      return 'X';
    case DumpedRegister::State::Value:
      break;
  }
  if (reg.value == 0x00 || reg.value == 0xFF) {
    return '.';
  }
  return reg.value < 0x20 || reg.value >= 0x7F ? '?' : static_cast<char>(reg.value);
}

}  // namespace

I2cDumpError::I2cDumpError(std::string source, size_t line, std::string problem)
    : std::runtime_error(line == 0 ? fmt::format("{}: {}", Printable(source), problem)
                                   : fmt::format("{}:{}: {}", Printable(source), line, problem)),
      source_(std::move(source)),
      line_(line),
      problem_(std::move(problem)) {}

RegisterDump ParseI2cDump(std::string_view text, const std::string& source) {
  RegisterDump dump{};
  size_t headerLine = 0;
  std::optional<unsigned> lastRow;
  LineReader lines(text);
  for (std::string_view raw; lines.Next(raw);) {
    std::string_view line = TrimRight(raw);
    const size_t lineNumber = lines.Number();
    auto fail = [&](const std::string& problem) {
      throw I2cDumpError(source, lineNumber, problem);
    };
    std::vector<std::string_view> words = Words(line);
    if (headerLine == 0) {
      if (IsHeader(words)) {
        headerLine = lineNumber;
      } else if (IsWordHeader(words)) {
        fail(
            "a word-mode dump (modes w and W); only byte and block dumps (modes b, c, i, s) "
            "can be read");
      } else if (LooksLikeRow(line)) {
        fail("a register row before the header row (\"0  1  2 ... f\")");
      }
      continue;  // i2cdump's messages before the header
    }
    if (words.empty()) {
      continue;
    }
    if (!LooksLikeRow(line)) {
      fail(fmt::format("\"{}\" is not a register row (two hex digits, a colon, up to 16 cells)",
                       Printable(line, 80)));
    }
    unsigned row = *HexDigit(line[0]) * 16 + *HexDigit(line[1]);
    if (row % kColumns != 0) {
      fail(fmt::format("row {:02x} does not start a row of 16 (rows are 00, 10, ... f0)", row));
    }
    if (lastRow && row <= *lastRow) {
      fail(fmt::format("row {:02x} follows row {:02x} (rows come in increasing order, each once)",
                       row, *lastRow));
    }
    lastRow = row;
    ReadCells(line, row, dump, source, lineNumber);
  }
  if (headerLine == 0) {
    throw I2cDumpError(source, 0,
                       fmt::format("no header row (\"0  1  2 ... f\") in {} lines: not an "
                                   "i2cdump output",
                                   lines.Number()));
  }
  if (!lastRow) {
    throw I2cDumpError(source, headerLine, "no register rows follow the header row");
  }
  return dump;
}

RegisterDump LoadI2cDump(const std::string& path) {
  std::string text;
  try {
    text = files::ReadInputText(path, kI2cDumpFileLimit, "register dump");
  } catch (const files::InputError& e) {
    throw I2cDumpError(path, 0, e.Problem());
  }
  return ParseI2cDump(text, path);
}

void WriteI2cDump(std::ostream& out, const RegisterDump& dump) {
  out << kHeader << '\n';
  for (size_t row = 0; row < dump.size(); row += kColumns) {
    std::string cells;
    std::string ascii;
    for (size_t column = 0; column < kColumns; ++column) {
      const DumpedRegister& reg = dump[row + column];
      switch (reg.state) {
        case DumpedRegister::State::Absent:
          cells += "   ";
          break;
        case DumpedRegister::State::Unreadable:
          cells += "XX ";
          break;
        case DumpedRegister::State::Value:
          cells += fmt::format("{:02x} ", reg.value);
          break;
      }
      ascii += AsciiOf(reg);
    }
    out << fmt::format("{:02x}: {}   {}\n", row, cells, ascii);
  }
}

RegisterDump DumpOf(const board::ClockGenerator& device) {
  RegisterDump dump{};
  for (size_t reg = 0; reg < dump.size(); ++reg) {
    auto r = static_cast<uint8_t>(reg);
    dump[reg] = device.Unreadable(r)
                    ? DumpedRegister{DumpedRegister::State::Unreadable, 0}
                    : DumpedRegister{DumpedRegister::State::Value, device.ReadBack(r)};
  }
  return dump;
}

}  // namespace clockramp::tool
