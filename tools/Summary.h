// The short human summary of a run, derived from its analysis and the scenario.
#ifndef CLOCKRAMP_TOOLS_SUMMARY_H_
#define CLOCKRAMP_TOOLS_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "board/Event.h"
#include "tools/Engine.h"
#include "tools/RunAnalysis.h"
#include "tools/Scenario.h"
#include "tools/TraceAnalysis.h"

namespace clockramp::tool {

struct RegisterChange {
  uint8_t reg = 0;
  uint8_t before = 0;
  uint8_t after = 0;
};

// Consecutive steps taken with one value of register 6.
struct LevelRun {
  uint8_t value = 0;
  uint32_t steps = 0;
};

struct RunSummary {
  std::string scenario;
  std::string description;
  std::string engine;
  std::optional<uint32_t> entryStatus;
  std::optional<uint32_t> notifyStatus;
  uint32_t notifications = 0;
  bool hung = false;
  std::string stopReason;
  uint16_t codeFrom = 0;
  uint16_t codeTo = 0;
  std::optional<uint16_t> target;      // RampTargetCode, when "Setup" holds it
  std::optional<uint8_t> levelSelect;  // RampLevelSelect, when "Setup" holds it
  uint32_t steps = 0;
  uint32_t failedSteps = 0;
  std::vector<LevelRun> levels;
  std::vector<uint8_t> post;
  bool guardArmed = false;
  std::vector<RegisterChange> registers;  // clock generator registers that changed
  uint16_t acpiBase = 0;
  bool acpiDecoding = false;
  TimeSplit time;
  std::vector<std::string> notes;  // the engine's own lines
};

// The summary of a run from its analysis (fed every event, finished).
RunSummary Summarize(const Scenario& scenario, std::string_view engine, const EngineRun& run,
                     const RunAnalysis& analysis);
// The summary of a run whose board kept its events in memory.
RunSummary Summarize(const Scenario& scenario, std::string_view engine, const EngineRun& run);

// "level 2" for the four level values of register 6, else "0x42".
std::string LevelName(uint8_t value);
// POST codes grouped by step: "(C4 C8 CC) ×23, C4 C8".
std::string FormatPostCodes(std::span<const uint8_t> codes);
// "58.700 ms", "380.4 µs", "400 ns".
std::string FormatDuration(uint64_t ns);

void PrintSummary(std::ostream& out, const RunSummary& summary);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SUMMARY_H_
