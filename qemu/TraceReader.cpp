#include "qemu/TraceReader.h"

#include <charconv>
#include <set>
#include <sstream>
#include <string_view>

#include "board/VariableStore.h"

namespace qemu {
namespace {

constexpr std::string_view kLogPrefix = "crq ";
constexpr uint16_t kPmBaseMask = 0xFF80;

// One memory_region_ops_read/_write line.
struct RegionAccess {
  bool write = false;
  uint64_t addr = 0;
  uint64_t value = 0;
  unsigned size = 0;
  std::string name;
};

// The number after `key ` in a trace line, hexadecimal with 0x or decimal.
std::optional<uint64_t> Field(std::string_view line, std::string_view key) {
  size_t at = line.find(key);
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view rest = line.substr(at + key.size());
  int base = 10;
  if (rest.starts_with("0x")) {
    rest.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value, base);
  if (ec != std::errc()) {
    return std::nullopt;
  }
  return value;
}

// Parses "memory_region_ops_write cpu 0 mr 0x... addr 0x80 value 0xc4 size 1 name 'ioport80'".
std::optional<RegionAccess> ParseRegionAccess(std::string_view line) {
  size_t at = line.find("memory_region_ops_");
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  line.remove_prefix(at);
  RegionAccess a;
  if (line.starts_with("memory_region_ops_write ")) {
    a.write = true;
  } else if (!line.starts_with("memory_region_ops_read ")) {
    return std::nullopt;
  }
  auto addr = Field(line, " addr ");
  auto value = Field(line, " value ");
  auto size = Field(line, " size ");
  size_t name = line.find(" name '");
  if (!addr || !value || !size || name == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view n = line.substr(name + 7);
  a.name = std::string(n.substr(0, n.find('\'')));
  a.addr = *addr;
  a.size = static_cast<unsigned>(*size);
  a.value = a.size >= 8 ? *value : *value & ((uint64_t{1} << (8 * a.size)) - 1);
  return a;
}

// Hexadecimal bytes ("-" for none).
std::optional<std::vector<uint8_t>> HexBytes(std::string_view text) {
  std::vector<uint8_t> out;
  if (text == "-") {
    return out;
  }
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) {
      return std::nullopt;
    }
    out.push_back(byte);
  }
  return out;
}

// A hexadecimal number of a log line.
std::optional<uint64_t> HexNumber(std::string_view text) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// A GUID from its 16 stored bytes.
board::Guid GuidFromBytes(const std::vector<uint8_t>& b) {
  board::Guid g;
  g.data1 = static_cast<uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16)) | (uint32_t{b[3]} << 24);
  g.data2 = static_cast<uint16_t>(b[4] | (b[5] << 8));
  g.data3 = static_cast<uint16_t>(b[6] | (b[7] << 8));
  for (size_t i = 0; i < 8; ++i) {
    g.data4[i] = b[8 + i];
  }
  return g;
}

class Reader {
 public:
  explicit Reader(const ReaderOptions& options) : options_(options) {}

  // Takes one line of the trace log.
  void Line(std::string_view line) {
    std::optional<RegionAccess> a = ParseRegionAccess(line);
    if (!a) {
      return;  // pci_cfg_* and other events: the region accesses carry the same
    }
    if (a->name == "isa-debugcon") {
      return;  // the firmware's own debug log (QemuRun::firmwareLog), never the module's
    }
    if (a->write && a->name == "io" && a->addr == kHelperLogPort) {
      LogByte(static_cast<char>(a->value));
      return;
    }
    if (!inside_) {
      return;
    }
    Access(*a);
  }

  QemuTrace Take() { return std::move(out_); }

 private:
  // A module access inside the window.
  void Access(const RegionAccess& a) {
    using board::Event;
    const auto width = a.size * 8;
    const auto io = a.write ? board::IoOp::Out : board::IoOp::In;
    const auto value = static_cast<uint32_t>(a.value);
    // QEMU shows each access at its absolute port or address.
    if (a.name == "io" || a.name == "ioport80") {
      out_.events.push_back(Event::Io(0, io, static_cast<uint16_t>(a.addr), width, value));
    } else if (a.name == "acpi-tmr") {
      out_.events.push_back(Event::Io(0, io, static_cast<uint16_t>(a.addr), width, value));
      ++out_.timerReads;
    } else if (a.name == "pcie-mmcfg-mmio") {
      uint64_t address = a.addr - options_.shimToken5 + options_.scenarioToken5;
      out_.events.push_back(Event::Mmio(0, a.write ? board::MmioOp::Write : board::MmioOp::Read,
                                        address & 0xFFFFFFFF, width, value));
    } else if (a.name != "fwcfg" && a.name != "fwcfg.dma") {
      // fw_cfg is the variable PPI reading the scenario; anything else is not ours.
      out_.unexpected.push_back(std::string(a.write ? "write " : "read ") + a.name + " +" +
                                std::to_string(a.addr));
    }
  }

  void LogByte(char c) {
    if (c != '\n') {
      pending_ += c;
      return;
    }
    std::string line;
    line.swap(pending_);
    if (!line.starts_with(kLogPrefix)) {
      return;  // not a helper line
    }
    line.erase(0, kLogPrefix.size());
    out_.log.push_back(line);
    if (!LogLine(line)) {
      out_.unexpected.push_back("malformed helper line: " + line);
    }
  }

  // Handles one helper line; false when it is malformed.
  bool LogLine(const std::string& line) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) {
      w.push_back(word);
    }
    if (w.empty()) {
      return false;
    }
    const std::string& kind = w[0];
    if (kind == "begin") {
      inside_ = true;
      out_.begun = true;
    } else if (kind == "end") {
      inside_ = false;
      out_.ended = true;
    } else if (kind == "pcd") {
      return Pcd(w);
    } else if (kind == "var") {
      return Variable(w);
    } else if (kind == "smbus") {
      return Smbus(w);
    } else if (kind == "next-variable-name") {
      out_.events.push_back(
          board::Event::OtherPei(0, board::PeiCall::NextVariableName, 0x80000003U));
    } else if (kind == "state") {
      return State(w);
    } else if (kind == "stack") {
      out_.exitStack = w.size() == 2 ? HexNumber(w[1]) : std::nullopt;
      return out_.exitStack.has_value();
    }
    return true;
  }

  bool Pcd(const std::vector<std::string>& w) {
    auto token = w.size() == 3 ? HexNumber(w[1]) : std::nullopt;
    auto value = w.size() == 3 ? HexNumber(w[2]) : std::nullopt;
    if (!token || !value) {
      return false;
    }
    uint64_t shown =
        *token == 5 && *value == options_.shimToken5 ? options_.scenarioToken5 : *value;
    out_.events.push_back(board::Event::Pcd(0, *token, shown));
    return true;
  }

  // var <status> <size in> <size out> <guid bytes> <UTF-16LE name bytes>
  bool Variable(const std::vector<std::string>& w) {
    if (w.size() != 6) {
      return false;
    }
    auto status = HexNumber(w[1]);
    auto sizeIn = HexNumber(w[2]);
    auto sizeOut = HexNumber(w[3]);
    auto guid = HexBytes(w[4]);
    auto name = HexBytes(w[5]);
    if (!status || !sizeIn || !sizeOut || !guid || guid->size() != 16 || !name ||
        name->size() % 2 != 0) {
      return false;
    }
    std::u16string text;
    for (size_t i = 0; i < name->size(); i += 2) {
      text += static_cast<char16_t>((*name)[i] | ((*name)[i + 1] << 8));
    }
    out_.events.push_back(board::Event::GetVariable(0, board::ToUtf8(text), GuidFromBytes(*guid),
                                                    *sizeIn, static_cast<uint32_t>(*status),
                                                    *sizeOut));
    return true;
  }

  // smbus <operation> <address> <command> <length in> <status> <length out> <bytes>
  bool Smbus(const std::vector<std::string>& w) {
    if (w.size() != 8) {
      return false;
    }
    std::optional<uint64_t> n[6];
    for (size_t i = 0; i < 6; ++i) {
      n[i] = HexNumber(w[1 + i]);
      if (!n[i]) {
        return false;
      }
    }
    auto data = HexBytes(w[7]);
    if (!data || *n[0] > 0xFF) {
      return false;
    }
    out_.events.push_back(board::Event::Smbus(0, static_cast<uint8_t>(*n[0]), *n[1], *n[2], *n[3],
                                              std::move(*data), static_cast<uint32_t>(*n[4])));
    return true;
  }

  // state <256 register bytes> <PMBASE dword> <ACPI_CNTL dword>
  bool State(const std::vector<std::string>& w) {
    if (w.size() != 4) {
      return false;
    }
    auto regs = HexBytes(w[1]);
    auto pmBase = HexNumber(w[2]);
    auto control = HexNumber(w[3]);
    if (!regs || regs->size() != 256 || !pmBase || !control) {
      return false;
    }
    board::StateSnapshot s;
    std::copy(regs->begin(), regs->end(), s.clockGenerator.begin());
    s.acpiBase = static_cast<uint16_t>(*pmBase & kPmBaseMask);
    s.acpiControl = static_cast<uint8_t>(*control);
    out_.state = s;
    return true;
  }

  ReaderOptions options_;
  bool inside_ = false;
  std::string pending_;
  QemuTrace out_;
};

}  // namespace

QemuTrace ReadQemuTrace(std::istream& in, const ReaderOptions& options) {
  Reader reader(options);
  for (std::string line; std::getline(in, line);) {
    reader.Line(line);
  }
  return reader.Take();
}

std::vector<uint64_t> ReadExecutedBlocks(std::istream& in) {
  std::vector<uint64_t> blocks;
  std::set<uint64_t> seen;
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Trace ")) {
      continue;
    }
    const size_t open = line.find('[');
    const size_t first = line.find('/', open);
    const size_t second = line.find('/', first + 1);
    if (open == std::string::npos || first == std::string::npos || second == std::string::npos) {
      continue;
    }
    uint64_t pc = 0;
    const char* begin = line.data() + first + 1;
    const char* end = line.data() + second;
    auto [stop, ec] = std::from_chars(begin, end, pc, 16);
    if (ec != std::errc() || stop != end) {
      continue;
    }
    if (seen.insert(pc).second) {
      blocks.push_back(pc);
    }
  }
  return blocks;
}

}  // namespace qemu
