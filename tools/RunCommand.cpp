#include "tools/RunCommand.h"

#include <fstream>
#include <memory>

#include <fmt/format.h>

#include "board/Trace.h"
#include "tools/I2cDump.h"
#include "tools/Scenario.h"
#include "tools/Summary.h"
#include "tools/TraceListing.h"
#include "tools/Vcd.h"

namespace clockramp::tool {
namespace {

// Opens an output file before the run, so that a bad path costs no run.
std::unique_ptr<std::ofstream> OpenOutput(const std::string& path, std::ostream& err) {
  if (path.empty()) {
    return nullptr;
  }
  auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
  if (!*file) {
    err << fmt::format("clockramp: {}: cannot be written\n", path);
    return nullptr;
  }
  return file;
}

bool Close(std::ofstream& file, const std::string& path, std::ostream& err) {
  file.close();
  if (!file) {
    err << fmt::format("clockramp: {}: write failed\n", path);
    return false;
  }
  return true;
}

}  // namespace

int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const Engine* engine = FindEngine(options.engine);
  if (engine == nullptr) {
    err << fmt::format("clockramp: no engine \"{}\"\n", options.engine);
    return kExitInvalid;
  }
  Scenario scenario;
  try {
    scenario = options.scenario ? LoadScenario(*options.scenario) : DefaultScenario();
  } catch (const ScenarioError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }
  auto trace = OpenOutput(options.tracePath, err);
  auto vcd = OpenOutput(options.vcdPath, err);
  auto sigrokVcd = OpenOutput(options.sigrokVcdPath, err);
  auto clockGenOut = OpenOutput(options.clockGenOutPath, err);
  if ((!options.tracePath.empty() && !trace) || (!options.vcdPath.empty() && !vcd) ||
      (!options.sigrokVcdPath.empty() && !sigrokVcd) ||
      (!options.clockGenOutPath.empty() && !clockGenOut)) {
    return kExitInvalid;
  }

  EngineRun run = engine->run(scenario.config);
  std::span<const board::Event> events = run.board->Events().Events();

  bool written = true;
  if (trace) {
    board::WriteJsonl(*trace, run.board->Events());
    written = Close(*trace, options.tracePath, err) && written;
  }
  const std::string version =
      fmt::format("clockramp run {} ({} engine)", scenario.source, engine->name);
  if (vcd) {
    WriteVcd(*vcd, scenario.config, events, {"", version});
    written = Close(*vcd, options.vcdPath, err) && written;
  }
  if (sigrokVcd) {
    WriteVcd(*sigrokVcd, scenario.config, events, {"", version, true});
    written = Close(*sigrokVcd, options.sigrokVcdPath, err) && written;
  }
  if (clockGenOut) {
    WriteI2cDump(*clockGenOut, DumpOf(run.board->ClockGen()));
    written = Close(*clockGenOut, options.clockGenOutPath, err) && written;
  }
  if (options.verbose) {
    PrintListing(out, ListTrace(scenario.config, events));
    out << "\n";
  }
  PrintSummary(out, Summarize(scenario, engine->name, run));
  if (!written) {
    return kExitInvalid;
  }
  return run.outcome.hung ? kExitHang : kExitRan;
}

}  // namespace clockramp::tool
