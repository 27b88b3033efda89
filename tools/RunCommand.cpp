#include "tools/RunCommand.h"

#include <fstream>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "board/EventSink.h"
#include "board/JsonlWriter.h"
#include "tools/I2cDump.h"
#include "tools/RunAnalysis.h"
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

  std::optional<board::JsonlWriter> traceWriter;
  board::FanOut sinks;
  if (trace) {
    traceWriter.emplace(*trace,
                        options.traceWaits ? board::JsonlForm::Waits : board::JsonlForm::Full,
                        StepDelayTicks(scenario.config));
    sinks.Add(*traceWriter);
  }
  RunAnalysisOptions analysisOptions;
  analysisOptions.listing = options.verbose ? &out : nullptr;
  analysisOptions.vcd = vcd.get();
  analysisOptions.sigrokVcd = sigrokVcd.get();
  analysisOptions.vcdOptions.version =
      fmt::format("clockramp run {} ({} engine)", scenario.source, engine->name);
  RunAnalysis analysis(scenario.config, analysisOptions);
  sinks.Add(analysis);

  EngineRun run = engine->run(scenario.config, &sinks);
  analysis.Finish();

  bool written = true;
  if (trace) {
    traceWriter->Finish();
    written = Close(*trace, options.tracePath, err) && written;
  }
  if (vcd) {
    written = Close(*vcd, options.vcdPath, err) && written;
  }
  if (sigrokVcd) {
    written = Close(*sigrokVcd, options.sigrokVcdPath, err) && written;
  }
  if (clockGenOut) {
    WriteI2cDump(*clockGenOut, DumpOf(run.board->ClockGen()));
    written = Close(*clockGenOut, options.clockGenOutPath, err) && written;
  }
  if (options.verbose) {
    out << "\n";
  }
  PrintSummary(out, Summarize(scenario, engine->name, run, analysis));
  if (!written) {
    return kExitInvalid;
  }
  return run.outcome.hung ? kExitHang : kExitRan;
}

}  // namespace clockramp::tool
