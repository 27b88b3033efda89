// The engines a scenario can run on, by name. "native" (the module compiled
// for the host, board::RunNative) is always there; another engine registers
// itself with RegisterEngine before the command line is parsed, and becomes a
// choice of `clockramp run --engine`.
#ifndef CLOCKRAMP_TOOLS_ENGINE_H_
#define CLOCKRAMP_TOOLS_ENGINE_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "board/Board.h"
#include "board/BoardConfig.h"
#include "board/NativeEngine.h"
#include "tools/Scenario.h"

namespace clockramp::tool {

// What an engine hands back: the statuses, and the board it ran on. The events
// went to the sink the run was given (the last is the "state" line); without
// one, the board kept them (board->Events()). `notes` are extra summary lines
// of the engine's own (a guest fault, instruction counts, ...).
struct EngineRun {
  board::RunOutcome outcome;
  std::unique_ptr<board::Board> board;
  std::vector<std::string> notes;
  // The run failed whatever the module's statuses say: the guest faulted, or
  // the run differs from the one it is compared with (the notes say how).
  bool failed = false;
};

struct Engine {
  std::string name;         // what --engine takes
  std::string description;  // one line for --help
  // Runs a board; events go to the sink, or stay on the board when it is null.
  // Throws for a board the engine cannot make or when it cannot start.
  std::function<EngineRun(const board::BoardConfig&, board::EventSink*)> run;
  // Changes a scenario the engine cannot run as it is, where the file left
  // the point unsaid (nullptr: the engine runs any board), with a summary
  // note for each change.
  std::function<void(Scenario&, std::vector<std::string>& notes)> adapt;
};

inline constexpr std::string_view kDefaultEngine = "native";

// Adds an engine (replacing one of the same name).
void RegisterEngine(Engine engine);
// Every engine, in registration order ("native" first).
const std::vector<Engine>& Engines();
// The engine of a name, or nullptr.
const Engine* FindEngine(std::string_view name);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_ENGINE_H_
