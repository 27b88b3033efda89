// Scenario files: a JSON description of a board, read into a
// board::BoardConfig. Every member is optional and starts from the built-in
// default board; unknown members, wrong types and out-of-range values are
// errors that name the file and the member (docs/scenarios.md).
#ifndef CLOCKRAMP_TOOLS_SCENARIO_H_
#define CLOCKRAMP_TOOLS_SCENARIO_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "board/BoardConfig.h"

namespace clockramp::tool {

// Bounds on a scenario file. The largest useful one (every byte of a
// 64 KiB variable in a "bytes" map) is about 1 MiB; its members nest 4 deep.
inline constexpr uint64_t kScenarioFileLimit = uint64_t{4} * 1024 * 1024;
inline constexpr size_t kScenarioMaxDepth = 16;
// The longest poll a scenario may allow before it is a hang: 1 s of virtual
// time, 4,000 times the longest wait the ramp makes (255 µs). A poll of a
// frozen timer costs one trace line a microsecond, so this also bounds the
// trace of a hang (about a million lines).
inline constexpr uint64_t kMaxHangLimitNs = 1'000'000'000;

// What a scenario run is made of.
struct Scenario {
  std::string source = "default board";  // the file it came from
  std::string description;               // its "description" member, if any
  board::BoardConfig config;
  // The files it was read from: the scenario and every file it names.
  std::vector<std::string> inputs;
  // What the module will make of this board that its owner may not expect
  // (a "Setup" larger than the module's buffer), one line each, each
  // "MEMBER: what happens".
  std::vector<std::string> warnings;
  // Whether the file says if the board has a Super I/O chip (superIo.present).
  bool superIoStated = false;
};

// A scenario that cannot be used. what() is "FILE: MEMBER: PROBLEM" (no
// member for a file that cannot be read or is not JSON), on one line with
// every byte that is not printable ASCII escaped.
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(std::string source, std::string member, std::string problem);
  [[nodiscard]] const std::string& Source() const { return source_; }
  // Dotted path of the offending member: "clockGenerator.failures[0].status".
  [[nodiscard]] const std::string& Member() const { return member_; }
  [[nodiscard]] const std::string& Problem() const { return problem_; }

 private:
  std::string source_;
  std::string member_;
  std::string problem_;
};

// The built-in default board.
Scenario DefaultScenario();

// A parsed JSON document; `source` names it in errors.
Scenario ParseScenario(const nlohmann::json& document, const std::string& source);
// JSON text.
Scenario ParseScenarioText(std::string_view text, const std::string& source);
// A file, of at most kScenarioFileLimit bytes.
Scenario LoadScenario(const std::string& path);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SCENARIO_H_
