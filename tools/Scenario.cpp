#include "tools/Scenario.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "board/ClockGenerator.h"
#include "board/SuperIo.h"
#include "tools/EfiStatus.h"
#include "tools/EfiVariableFile.h"
#include "tools/I2cDump.h"

namespace clockramp::tool {
namespace {

using Json = nlohmann::json;

constexpr uint64_t kMaxVariableSize = 0x10000;
constexpr uint64_t kPcieWindowSize = 0x10000000;  // 256 buses

// "a string", "an object", ... for messages.
std::string Kind(const Json& value) {
  if (value.is_number_float()) {
    return fmt::format("the fraction {}", value.dump());
  }
  if (value.is_number_integer()) {
    return fmt::format("the number {}", value.dump());
  }
  std::string name = value.type_name();
  bool vowel = name.find_first_of("aeiou") == 0;
  return (vowel ? "an " : "a ") + name;
}

// A byte-map key: decimal or 0x-prefixed hexadecimal digits, nothing else.
std::optional<uint64_t> ParseKey(std::string_view key) {
  int base = 10;
  if (key.size() > 2 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X')) {
    key.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const char* end = key.data() + key.size();
  auto [ptr, ec] = std::from_chars(key.data(), end, value, base);
  if (key.empty() || ec != std::errc{} || ptr != end) {
    return std::nullopt;
  }
  return value;
}

// One member of the document being read, with its path for messages.
class Member {
 public:
  Member(const Json& value, std::string path, const std::string& source)
      : value_(value), path_(std::move(path)), source_(source) {}

  [[noreturn]] void Fail(const std::string& problem) const {
    throw ScenarioError(source_, path_, problem);
  }

  [[nodiscard]] const Json& Value() const { return value_; }
  [[nodiscard]] bool IsNull() const { return value_.is_null(); }

  // Checks that this is an object with no members but the allowed ones.
  void ExpectObject(std::initializer_list<std::string_view> allowed) const {
    if (!value_.is_object()) {
      Fail(fmt::format("must be an object, not {}", Kind(value_)));
    }
    for (const auto& [key, unused] : value_.items()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        std::vector<std::string_view> names(allowed);
        throw ScenarioError(source_, Join(key),
                            fmt::format("unknown member (known here: {})", fmt::join(names, ", ")));
      }
    }
  }

  // The named member of this object, if present.
  [[nodiscard]] std::optional<Member> Find(const std::string& key) const {
    auto it = value_.find(key);
    if (it == value_.end()) {
      return std::nullopt;
    }
    return Member(*it, Join(key), source_);
  }

  [[nodiscard]] std::vector<Member> Elements() const {
    if (!value_.is_array()) {
      Fail(fmt::format("must be an array, not {}", Kind(value_)));
    }
    std::vector<Member> elements;
    for (size_t i = 0; i < value_.size(); ++i) {
      elements.emplace_back(value_[i], fmt::format("{}[{}]", path_, i), source_);
    }
    return elements;
  }

  // The members of a map keyed by numbers ("12", "0x0C"), each key checked
  // against [0, maxKey] and given once.
  [[nodiscard]] std::vector<std::pair<uint64_t, Member>> NumberedMembers(
      uint64_t maxKey, std::string_view what, std::string_view range = {}) const {
    if (!value_.is_object()) {
      Fail(fmt::format("must be an object keyed by {} numbers, not {}", what, Kind(value_)));
    }
    std::vector<std::pair<uint64_t, Member>> members;
    std::map<uint64_t, std::string> seen;
    for (const auto& [key, value] : value_.items()) {
      Member member(value, Join(key), source_);
      std::optional<uint64_t> number = ParseKey(key);
      if (!number) {
        member.Fail(fmt::format("\"{}\" is not a {} number (decimal or 0x-prefixed hexadecimal)",
                                key, what));
      }
      if (*number > maxKey) {
        member.Fail(range.empty()
                        ? fmt::format("{} {} is out of range (0 to {})", what, *number, maxKey)
                        : fmt::format("{} {} is out of range ({})", what, *number, range));
      }
      if (auto [it, inserted] = seen.emplace(*number, key); !inserted) {
        member.Fail(fmt::format("{} {} is also given as \"{}\"", what, *number, it->second));
      }
      members.emplace_back(*number, member);
    }
    return members;
  }

  [[nodiscard]] uint64_t Unsigned(uint64_t min, uint64_t max) const {
    if (!value_.is_number_integer()) {
      Fail(fmt::format("must be an integer from {} to {}, not {}", min, max, Kind(value_)));
    }
    if (!value_.is_number_unsigned() || value_.get<uint64_t>() < min ||
        value_.get<uint64_t>() > max) {
      Fail(fmt::format("{} is out of range ({} to {})", value_.dump(), min, max));
    }
    return value_.get<uint64_t>();
  }
  [[nodiscard]] uint8_t Byte() const { return static_cast<uint8_t>(Unsigned(0, 0xFF)); }

  [[nodiscard]] bool Bool() const {
    if (!value_.is_boolean()) {
      Fail(fmt::format("must be true or false, not {}", Kind(value_)));
    }
    return value_.get<bool>();
  }

  [[nodiscard]] std::string String() const {
    if (!value_.is_string()) {
      Fail(fmt::format("must be a string, not {}", Kind(value_)));
    }
    return value_.get<std::string>();
  }

  // One of the given words.
  template <typename T>
  [[nodiscard]] T Choice(std::initializer_list<std::pair<std::string_view, T>> choices) const {
    std::vector<std::string> words;
    for (const auto& choice : choices) {
      words.push_back(fmt::format("\"{}\"", choice.first));
    }
    if (value_.is_string()) {
      for (const auto& [word, result] : choices) {
        if (value_.get<std::string>() == word) {
          return result;
        }
      }
    }
    Fail(fmt::format("must be one of {}, not {}", fmt::join(words, ", "),
                     value_.is_string() ? value_.dump() : Kind(value_)));
  }

  // An EFI_STATUS: a 32-bit number or a name.
  [[nodiscard]] uint32_t Status() const {
    if (value_.is_string()) {
      if (auto status = StatusFromName(value_.get<std::string>())) {
        return *status;
      }
      Fail(
          fmt::format("{} is not a status name (EFI_DEVICE_ERROR, EFI_NOT_FOUND, ...) "
                      "or a 32-bit number",
                      value_.dump()));
    }
    if (!value_.is_number_integer()) {
      Fail(fmt::format("must be a status name or a 32-bit number, not {}", Kind(value_)));
    }
    return static_cast<uint32_t>(Unsigned(0, 0xFFFFFFFF));
  }

 private:
  [[nodiscard]] std::string Join(std::string_view key) const {
    return path_.empty() ? std::string(key) : fmt::format("{}.{}", path_, key);
  }

  const Json& value_;
  std::string path_;
  const std::string& source_;
};

// Calls `read` with the member if it is present.
template <typename Fn>
void With(const Member& parent, const std::string& key, Fn read) {
  if (auto member = parent.Find(key)) {
    read(*member);
  }
}

void ReadPei(const Member& pei, board::BoardConfig& config) {
  pei.ExpectObject({"smbus2", "variablePpi", "pcdPpi", "pcieBase", "notifyPpiStatus", "pcdValue"});
  With(pei, "smbus2", [&](const Member& m) {
    config.smbusPpi =
        m.Choice<board::SmbusPpiTiming>({{"after-entry", board::SmbusPpiTiming::AfterEntry},
                                         {"before-entry", board::SmbusPpiTiming::BeforeEntry},
                                         {"absent", board::SmbusPpiTiming::Absent}});
  });
  With(pei, "variablePpi", [&](const Member& m) { config.variablePpi = m.Bool(); });
  With(pei, "pcdPpi", [&](const Member& m) { config.pcdPpi = m.Bool(); });
  With(pei, "pcieBase", [&](const Member& m) {
    config.pcieBase = m.Unsigned(0, 0xFFFFFFFF);
    if (config.pcieBase % kPcieWindowSize != 0) {
      m.Fail(
          fmt::format("0x{:X} is not a multiple of 0x10000000 (the window covers 256 buses "
                      "and starts on a 256 MiB boundary)",
                      config.pcieBase));
    }
  });
  With(pei, "notifyPpiStatus", [&](const Member& m) { config.notifyPpiStatus = m.Status(); });
  With(pei, "pcdValue", [&](const Member& m) { config.pcdPcieBase = m.Unsigned(0, UINT64_MAX); });
}

// A file named in a scenario: relative paths start from the scenario's folder.
std::string RelativeTo(const std::string& scenario, const std::string& path) {
  std::filesystem::path file(path);
  if (file.is_absolute()) {
    return path;
  }
  return (std::filesystem::path(scenario).parent_path() / file).lexically_normal().string();
}

// Sets the bytes of a value at an offset, cut at the variable's end.
void Put(std::vector<uint8_t>& data, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width && offset + i < data.size(); ++i) {
    data[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// "bytes": {"<offset>": <byte>}, every offset inside the variable.
void ReadBytes(const Member& parent, std::vector<uint8_t>& data) {
  With(parent, "bytes", [&](const Member& bytes) {
    if (data.empty()) {
      if (!bytes.NumberedMembers(UINT64_MAX, "offset").empty()) {
        bytes.Fail("the variable is empty (size 0): no byte can be set");
      }
      return;
    }
    std::string range = fmt::format("the variable's size is {}", data.size());
    for (const auto& [offset, value] : bytes.NumberedMembers(data.size() - 1, "offset", range)) {
      data[offset] = value.Byte();
    }
  });
}

// A variable: null (absent) or an object starting from the default image,
// or from the efivarfs file its "efivarfs" member names (whose attributes
// then replace the default ones).
std::optional<std::vector<uint8_t>> ReadVariable(
    const Member& member, const std::string& source, const VariableId& id,
    const std::vector<uint8_t>& defaults, uint32_t& attributes,
    std::initializer_list<std::string_view> members,
    const std::function<void(const Member&, std::vector<uint8_t>&)>& readFields) {
  if (member.IsNull()) {
    return std::nullopt;
  }
  member.ExpectObject(members);
  std::vector<uint8_t> data = defaults;
  With(member, "efivarfs", [&](const Member& m) {
    try {
      EfiVariableFile file = LoadEfiVariableFile(RelativeTo(source, m.String()), id);
      data = std::move(file.data);
      attributes = file.attributes;
    } catch (const EfiVariableFileError& e) {
      m.Fail(e.what());
    }
  });
  With(member, "size", [&](const Member& m) { data.resize(m.Unsigned(0, kMaxVariableSize), 0); });
  readFields(member, data);
  ReadBytes(member, data);
  return data;
}

void ReadSetup(const Member& setup, const std::string& source, board::BoardConfig& config) {
  config.setup = ReadVariable(
      setup, source, SetupVariableId(), board::MakeSetup(1024, board::setup::kLevelAutomatic, 50),
      config.setupAttributes,
      {"efivarfs", "size", "RampTargetCode", "RampLevelSelect", "RampStepDelay", "bytes"},
      [](const Member& m, std::vector<uint8_t>& data) {
        With(m, "RampTargetCode", [&](const Member& field) {
          Put(data, board::setup::kRampTargetCodeOffset, field.Unsigned(0, 0xFFFF), 2);
        });
        With(m, "RampLevelSelect", [&](const Member& field) {
          Put(data, board::setup::kRampLevelSelectOffset, field.Byte(), 1);
        });
        With(m, "RampStepDelay", [&](const Member& field) {
          Put(data, board::setup::kRampStepDelayOffset, field.Byte(), 1);
        });
      });
}

void ReadPchRc(const Member& pchRc, const std::string& source, board::BoardConfig& config) {
  config.pchRcConfiguration = ReadVariable(
      pchRc, source, PchRcConfigurationVariableId(), board::MakePchRcConfiguration(5),
      config.pchRcConfigurationAttributes, {"efivarfs", "size", "PchRcSelector", "bytes"},
      [](const Member& m, std::vector<uint8_t>& data) {
        With(m, "PchRcSelector", [&](const Member& field) {
          Put(data, board::pchrc::kSelectorOffset, field.Byte(), 1);
        });
      });
}

// "i2cdump": the registers a dump file shows (a path relative to the
// scenario's folder); XX marks a register unreadable, blank cells keep the
// default board's value.
void ReadI2cDumpFile(const Member& m, const std::string& source, board::BoardConfig& config) {
  RegisterDump dump;
  try {
    dump = LoadI2cDump(RelativeTo(source, m.String()));
  } catch (const I2cDumpError& e) {
    m.Fail(e.what());
  }
  for (size_t reg = 0; reg < dump.size(); ++reg) {
    switch (dump[reg].state) {
      case DumpedRegister::State::Absent:
        break;
      case DumpedRegister::State::Value:
        config.clockGenerator[reg] = dump[reg].value;
        break;
      case DumpedRegister::State::Unreadable:
        config.clockGeneratorUnreadable.set(reg);
        break;
    }
  }
}

void ReadClockGenerator(const Member& clockGen, const std::string& source,
                        board::BoardConfig& config) {
  clockGen.ExpectObject({"i2cdump", "code", "registers", "reportedByteCount", "failures"});
  using board::ClockGenerator;
  With(clockGen, "i2cdump", [&](const Member& m) { ReadI2cDumpFile(m, source, config); });
  // A register given a value here is readable, whatever the dump said.
  auto set = [&](size_t reg, uint8_t value) {
    config.clockGenerator[reg] = value;
    config.clockGeneratorUnreadable.reset(reg);
  };
  With(clockGen, "code", [&](const Member& m) {
    auto code = m.Unsigned(0, 0x7FF);
    set(ClockGenerator::kCodeLowRegister, static_cast<uint8_t>(code));
    uint8_t high = config.clockGenerator[ClockGenerator::kCodeHighRegister];
    set(ClockGenerator::kCodeHighRegister, static_cast<uint8_t>((high & ~0x07U) | (code >> 8)));
  });
  With(clockGen, "registers", [&](const Member& registers) {
    for (const auto& [reg, value] : registers.NumberedMembers(0xFF, "register")) {
      set(reg, value.Byte());
    }
  });
  With(clockGen, "reportedByteCount", [&](const Member& m) {
    config.reportedByteCount = m.IsNull() ? std::nullopt : std::optional<uint8_t>(m.Byte());
  });
  With(clockGen, "failures", [&](const Member& failures) {
    std::set<uint64_t> seen;
    for (const Member& failure : failures.Elements()) {
      failure.ExpectObject({"transaction", "status"});
      auto transaction = failure.Find("transaction");
      auto status = failure.Find("status");
      if (!transaction || !status) {
        failure.Fail("a failure needs both \"transaction\" and \"status\"");
      }
      board::SmbusFailure f{transaction->Unsigned(0, UINT64_MAX), status->Status()};
      if (f.status == 0) {
        status->Fail("a failure cannot answer EFI_SUCCESS");
      }
      if (!seen.insert(f.transaction).second) {
        transaction->Fail(fmt::format("transaction {} already has a failure", f.transaction));
      }
      config.smbusFailures.push_back(f);
    }
  });
}

void ReadSuperIo(const Member& superIo, board::BoardConfig& config) {
  superIo.ExpectObject({"present", "registers", "selected", "global"});
  using board::SuperIo;
  With(superIo, "present", [&](const Member& m) { config.superIoPresent = m.Bool(); });
  With(superIo, "registers", [&](const Member& devices) {
    for (const auto& [ldn, registers] : devices.NumberedMembers(0xFF, "logical device")) {
      auto& values = config.superIoDevices[static_cast<uint8_t>(ldn)];
      for (const auto& [reg, value] : registers.NumberedMembers(0xFF, "register")) {
        if (reg < SuperIo::kFirstDeviceRegister) {
          value.Fail(
              fmt::format("register 0x{:02X} is global; a logical device's registers "
                          "start at 0x30 (use superIo.global)",
                          reg));
        }
        values[static_cast<uint8_t>(reg)] = value.Byte();
      }
    }
  });
  With(superIo, "selected", [&](const Member& m) { config.superIoSelected = m.Byte(); });
  With(superIo, "global", [&](const Member& registers) {
    for (const auto& [reg, value] :
         registers.NumberedMembers(SuperIo::kFirstDeviceRegister - 1, "register")) {
      if (reg == SuperIo::kLogicalDeviceRegister) {
        value.Fail("register 0x07 selects the logical device (use superIo.selected)");
      }
      config.superIoGlobal[static_cast<uint8_t>(reg)] = value.Byte();
    }
  });
}

void ReadPlatformController(const Member& pch, board::BoardConfig& config) {
  pch.ExpectObject({"acpiBase", "acpiControl"});
  With(pch, "acpiBase",
       [&](const Member& m) { config.acpiBase = static_cast<uint16_t>(m.Unsigned(0, 0xFFFF)); });
  With(pch, "acpiControl", [&](const Member& m) { config.acpiControl = m.Byte(); });
}

void ReadAcpiTimer(const Member& timer, board::BoardConfig& config) {
  timer.ExpectObject({"start", "mode", "stopsAfterNs"});
  With(timer, "start", [&](const Member& m) {
    config.timerStart = static_cast<uint32_t>(m.Unsigned(0, 0xFFFFFF));
  });
  With(timer, "mode", [&](const Member& m) {
    config.timerMode = m.Choice<board::TimerMode>({{"running", board::TimerMode::Running},
                                                   {"frozen", board::TimerMode::Frozen},
                                                   {"stops", board::TimerMode::StopsAfter}});
  });
  auto stopsAfter = timer.Find("stopsAfterNs");
  if (config.timerMode == board::TimerMode::StopsAfter) {
    if (!stopsAfter) {
      timer.Fail("mode \"stops\" needs \"stopsAfterNs\"");
    }
    config.timerStopsAfterNs = stopsAfter->Unsigned(0, UINT64_MAX);
  } else if (stopsAfter) {
    stopsAfter->Fail("only meaningful with \"mode\": \"stops\"");
  }
}

}  // namespace

ScenarioError::ScenarioError(std::string source, std::string member, std::string problem)
    : std::runtime_error(member.empty() ? fmt::format("{}: {}", source, problem)
                                        : fmt::format("{}: {}: {}", source, member, problem)),
      source_(std::move(source)),
      member_(std::move(member)),
      problem_(std::move(problem)) {}

Scenario DefaultScenario() { return Scenario{}; }

Scenario ParseScenario(const nlohmann::json& document, const std::string& source) {
  Scenario scenario;
  scenario.source = source;
  board::BoardConfig& config = scenario.config;
  Member top(document, "", source);
  if (!document.is_object()) {
    throw ScenarioError(source, "",
                        fmt::format("a scenario must be a JSON object, not {}", Kind(document)));
  }
  top.ExpectObject({"description", "pei", "setup", "pchRcConfiguration", "clockGenerator",
                    "superIo", "platformController", "acpiTimer", "hangLimitNs"});
  With(top, "description", [&](const Member& m) { scenario.description = m.String(); });
  With(top, "pei", [&](const Member& m) { ReadPei(m, config); });
  With(top, "setup", [&](const Member& m) { ReadSetup(m, source, config); });
  With(top, "pchRcConfiguration", [&](const Member& m) { ReadPchRc(m, source, config); });
  With(top, "clockGenerator", [&](const Member& m) { ReadClockGenerator(m, source, config); });
  With(top, "superIo", [&](const Member& m) { ReadSuperIo(m, config); });
  With(top, "platformController", [&](const Member& m) { ReadPlatformController(m, config); });
  With(top, "acpiTimer", [&](const Member& m) { ReadAcpiTimer(m, config); });
  With(top, "hangLimitNs",
       [&](const Member& m) { config.hangLimitNs = m.Unsigned(1, UINT64_MAX); });
  return scenario;
}

Scenario ParseScenarioText(std::string_view text, const std::string& source) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 2, column 3: ..."
    std::string message = e.what();
    if (auto colon = message.find("] "); colon != std::string::npos) {
      message.erase(0, colon + 2);
    }
    throw ScenarioError(source, "", "not valid JSON: " + message);
  }
  return ParseScenario(document, source);
}

Scenario LoadScenario(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ScenarioError(path, "", "cannot be read (no such file, or not readable)");
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw ScenarioError(path, "", "cannot be read");
  }
  return ParseScenarioText(text.str(), path);
}

}  // namespace clockramp::tool
