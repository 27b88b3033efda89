#include "tools/RunCommand.h"

#include <exception>
#include <optional>

#include <fmt/format.h>

#include "board/EventSink.h"
#include "board/JsonlWriter.h"
#include "board/Status.h"
#include "image/OutputSet.h"
#include "image/Printable.h"
#include "tools/I2cDump.h"
#include "tools/RunAnalysis.h"
#include "tools/Scenario.h"
#include "tools/Summary.h"
#include "tools/TraceListing.h"
#include "tools/Vcd.h"

namespace clockramp::tool {
namespace {

using files::Printable;

// Opens an output before the run, so that a refused one costs no run;
// nullptr when none was asked for.
std::ostream* Open(files::OutputSet& outputs, const std::string& path) {
  return path.empty() ? nullptr : &outputs.Open(path);
}

bool IsError(const std::optional<uint32_t>& status) { return status && board::IsError(*status); }

std::string Seconds(uint64_t ms) {
  return ms % 1000 == 0 ? fmt::format("{} s", ms / 1000) : fmt::format("{} ms", ms);
}

}  // namespace

bool RunFailed(const EngineRun& run) {
  return run.failed || IsError(run.outcome.entryStatus) || IsError(run.outcome.notifyStatus);
}

int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const Engine* engine = FindEngine(options.engine);
  if (engine == nullptr) {
    err << fmt::format("clockramp: no engine \"{}\"\n", Printable(options.engine));
    return kExitInvalid;
  }
  Scenario scenario;
  try {
    scenario = options.scenario ? LoadScenario(*options.scenario) : DefaultScenario();
  } catch (const ScenarioError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }
  const std::string source = Printable(scenario.source);
  for (const std::string& warning : scenario.warnings) {
    err << fmt::format("clockramp: {}: warning: {}\n", source, warning);
  }
  std::vector<std::string> adapted;
  if (engine->adapt) {
    engine->adapt(scenario, adapted);
  }
  scenario.config.wallClockLimitMs = options.wallClockLimitMs;

  files::OutputSet outputs;
  for (const std::string& input : scenario.inputs) {
    outputs.AddInput(input);
  }
  for (const std::string& input : options.inputs) {
    outputs.AddInput(input);
  }
  std::ostream* trace = nullptr;
  std::ostream* vcd = nullptr;
  std::ostream* sigrokVcd = nullptr;
  std::ostream* clockGenOut = nullptr;
  try {
    trace = Open(outputs, options.tracePath);
    vcd = Open(outputs, options.vcdPath);
    sigrokVcd = Open(outputs, options.sigrokVcdPath);
    clockGenOut = Open(outputs, options.clockGenOutPath);
  } catch (const files::OutputError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }

  std::optional<board::JsonlWriter> traceWriter;
  board::FanOut sinks;
  if (trace != nullptr) {
    traceWriter.emplace(*trace,
                        options.traceWaits ? board::JsonlForm::Waits : board::JsonlForm::Full,
                        StepDelayTicks(scenario.config));
    sinks.Add(*traceWriter);
  }
  RunAnalysisOptions analysisOptions;
  analysisOptions.listing = options.verbose ? &out : nullptr;
  analysisOptions.vcd = vcd;
  analysisOptions.sigrokVcd = sigrokVcd;
  analysisOptions.vcdOptions.version =
      fmt::format("clockramp run {} ({} engine)", source, engine->name);
  RunAnalysis analysis(scenario.config, analysisOptions);
  sinks.Add(analysis);

  EngineRun run;
  try {
    run = engine->run(scenario.config, &sinks);
  } catch (const std::exception& e) {
    // The engine cannot make this board or cannot start: nothing ran.
    err << fmt::format("clockramp: {} ({} engine): {}\n", source, engine->name,
                       Printable(e.what(), 1000));
    return kExitInvalid;
  }
  analysis.Finish();
  if (traceWriter) {
    traceWriter->Finish();
  }
  if (clockGenOut != nullptr) {
    WriteI2cDump(*clockGenOut, DumpOf(run.board->ClockGen()));
  }
  try {
    outputs.Commit();
  } catch (const files::OutputError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }

  if (options.verbose) {
    out << "\n";
  }
  run.notes.insert(run.notes.begin(), adapted.begin(), adapted.end());
  PrintSummary(out, Summarize(scenario, engine->name, run, analysis));
  if (run.outcome.hung) {
    if (run.outcome.timedOut) {
      err << fmt::format(
          "clockramp: {}: stopped as a hang after the wall-clock limit of {} (--time-limit)\n",
          source, Seconds(options.wallClockLimitMs));
    }
    return kExitHang;
  }
  return RunFailed(run) ? kExitFailed : kExitSuccess;
}

}  // namespace clockramp::tool
