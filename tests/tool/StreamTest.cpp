// The run as a stream: the sinks fed while the board runs must give exactly
// what the same analysis gives from a trace kept in memory (steps, time
// split, listing, timeline), the JSON Lines writer exactly the lines of
// ToOrderedJson, and its waits form one faithful line per wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BuildPaths.h"
#include "board/EventSink.h"
#include "board/JsonlWriter.h"
#include "board/NativeEngine.h"
#include "tools/RunAnalysis.h"
#include "tools/Scenario.h"
#include "tools/TraceAnalysis.h"
#include "tools/TraceListing.h"
#include "tools/Vcd.h"

namespace clockramp::tool {
namespace {

using board::Event;

// Every scenario file, a long ramp with the longest settle delay, and a
// frozen timer that hangs at the default limit.
std::vector<Scenario> Boards() {
  std::vector<Scenario> boards;
  for (const auto& entry : std::filesystem::directory_iterator(CLOCKRAMP_SCENARIOS_DIR)) {
    if (entry.path().extension() == ".json") {
      boards.push_back(LoadScenario(entry.path().string()));
    }
  }
  std::sort(boards.begin(), boards.end(),
            [](const Scenario& a, const Scenario& b) { return a.source < b.source; });
  boards.push_back(ParseScenarioText(
      R"({"setup": {"RampTargetCode": 300, "RampStepDelay": 255}, "clockGenerator": {"code": 0}})",
      "long-ramp.json"));
  boards.push_back(ParseScenarioText(R"({"acpiTimer": {"mode": "frozen"}})", "frozen.json"));
  return boards;
}

bool IsPause(const Event& e) {
  return e.kind == board::EventKind::Cpu && e.op == static_cast<uint8_t>(board::CpuOp::Pause);
}

TEST(Stream, AnalysisFedDuringTheRunMatchesTheStoredTrace) {
  for (const Scenario& scenario : Boards()) {
    SCOPED_TRACE(scenario.source);
    const board::RunResult stored = board::RunNative(scenario.config);
    std::span<const Event> events = stored.trace().Events();

    std::stringstream listing;
    std::stringstream vcd;
    std::stringstream jsonl;
    RunAnalysisOptions options{&listing, &vcd, {"today", "test"}};
    RunAnalysis analysis(scenario.config, options);
    board::JsonlWriter writer(jsonl);
    board::FanOut sinks({&analysis, &writer});
    const board::RunResult streamed = board::RunNative(scenario.config, &sinks);
    analysis.Finish();
    writer.Finish();

    EXPECT_TRUE(streamed.trace().empty());  // nothing kept per access
    EXPECT_EQ(analysis.Lines(), events.size());
    ASSERT_TRUE(analysis.FinalState().has_value());
    EXPECT_EQ(*analysis.FinalState(), events.back().Snapshot());

    const std::vector<TimerWait> waits = FindTimerWaits(events, StepDelayTicks(scenario.config));
    const TimeSplit split = SplitTime(events, waits);
    EXPECT_EQ(analysis.Time().total, split.total);
    EXPECT_EQ(analysis.Time().smbus, split.smbus);
    EXPECT_EQ(analysis.Time().delays, split.delays);
    EXPECT_EQ(analysis.Time().other, split.other);
    EXPECT_EQ(analysis.Time().waits, split.waits);

    const std::vector<RampStep> steps = FindRampSteps(scenario.config, events, waits);
    ASSERT_EQ(analysis.Steps().size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(analysis.Steps()[i].first, steps[i].first);
      EXPECT_EQ(analysis.Steps()[i].end, steps[i].end);
      EXPECT_EQ(analysis.Steps()[i].code, steps[i].code);
      EXPECT_EQ(analysis.Steps()[i].level, steps[i].level);
      EXPECT_EQ(analysis.Steps()[i].failed, steps[i].failed);
    }

    std::stringstream listed;
    PrintListing(listed, ListTrace(scenario.config, events));
    EXPECT_EQ(listing.str(), listed.str());
    std::stringstream drawn;
    WriteVcd(drawn, scenario.config, events, {"today", "test"});
    EXPECT_EQ(vcd.str(), drawn.str());

    std::string expected;
    for (const Event& e : events) {
      expected += ToOrderedJson(e).dump() + "\n";
    }
    EXPECT_EQ(jsonl.str(), expected);
  }
}

// The waits form: every line of the full form except PAUSE lines and the
// readings of a wait, and in place of each wait one "wait" line carrying its
// reads, first and last value and ticks.
TEST(Stream, WaitsFormHasOneLinePerWait) {
  for (const Scenario& scenario : Boards()) {
    SCOPED_TRACE(scenario.source);
    const board::RunResult run = board::RunNative(scenario.config);
    std::span<const Event> events = run.trace().Events();
    const std::vector<TimerWait> waits = FindTimerWaits(events, StepDelayTicks(scenario.config));

    std::stringstream text;
    board::JsonlWriter writer(text, board::JsonlForm::Waits, StepDelayTicks(scenario.config));
    for (const Event& e : events) {
      writer.OnEvent(e);
    }
    writer.Finish();

    std::vector<std::string> expected;
    auto wait = waits.begin();
    for (size_t i = 0; i < events.size(); ++i) {
      if (wait != waits.end() && i == wait->first) {
        nlohmann::json line = {{"t", wait->start},          {"ev", "wait"},
                               {"port", board::kTimerPort}, {"reads", wait->polls},
                               {"first", wait->firstValue}, {"last", wait->lastValue},
                               {"ticks", wait->Ticks()}};
        expected.push_back(line.dump());
        i = wait->last;
        ++wait;
      } else if (!IsPause(events[i])) {
        expected.push_back(nlohmann::json(ToJson(events[i])).dump());
      }
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
      lines.push_back(nlohmann::json::parse(line).dump());  // key order aside
    }
    EXPECT_EQ(lines, expected);
  }
}

}  // namespace
}  // namespace clockramp::tool
