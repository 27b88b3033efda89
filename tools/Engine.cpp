#include "tools/Engine.h"

#include <algorithm>
#include <utility>

namespace clockramp::tool {
namespace {

EngineRun RunNativeEngine(const board::BoardConfig& config, board::EventSink* sink) {
  board::RunResult result = board::RunNative(config, sink);
  EngineRun run;
  run.outcome = static_cast<const board::RunOutcome&>(result);
  run.board = std::move(result.board);
  return run;
}

std::vector<Engine>& Registry() {
  static std::vector<Engine> engines = {
      {std::string(kDefaultEngine), "the module compiled for this host, on the simulated board",
       RunNativeEngine, nullptr}};
  return engines;
}

}  // namespace

void RegisterEngine(Engine engine) {
  std::vector<Engine>& engines = Registry();
  auto same = std::find_if(engines.begin(), engines.end(),
                           [&](const Engine& e) { return e.name == engine.name; });
  if (same != engines.end()) {
    *same = std::move(engine);
  } else {
    engines.push_back(std::move(engine));
  }
}

const std::vector<Engine>& Engines() { return Registry(); }

const Engine* FindEngine(std::string_view name) {
  const std::vector<Engine>& engines = Registry();
  auto it =
      std::find_if(engines.begin(), engines.end(), [&](const Engine& e) { return e.name == name; });
  return it == engines.end() ? nullptr : &*it;
}

}  // namespace clockramp::tool
