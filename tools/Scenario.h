// Scenario files: a JSON description of a board, read into a
// board::BoardConfig. Every member is optional and starts from the built-in
// default board; unknown members, wrong types and out-of-range values are
// errors that name the file and the member (docs/scenarios.md).
#ifndef CLOCKRAMP_TOOLS_SCENARIO_H_
#define CLOCKRAMP_TOOLS_SCENARIO_H_

#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "board/BoardConfig.h"

namespace clockramp::tool {

// What a scenario run is made of.
struct Scenario {
  std::string source = "default board";  // the file it came from
  std::string description;               // its "description" member, if any
  board::BoardConfig config;
};

// A scenario that cannot be used. what() is "FILE: MEMBER: PROBLEM" (no
// member for a file that cannot be read or is not JSON).
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
// A file.
Scenario LoadScenario(const std::string& path);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SCENARIO_H_
