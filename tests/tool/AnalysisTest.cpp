// Reading runs back from their traces: timer waits, the Super I/O replay,
// the time split, the POST grouping, and the VCD timeline against the board's
// own final state for every scenario under tests/scenarios.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "VcdReader.h"
#include "board/NativeEngine.h"
#include "board/Status.h"
#include "board/VirtualClock.h"
#include "tools/Scenario.h"
#include "tools/Summary.h"
#include "tools/TraceAnalysis.h"
#include "tools/TraceListing.h"
#include "tools/Vcd.h"

namespace clockramp::tool {
namespace {

using board::Event;
using board::IoOp;

// A synthetic trace: timer readings (value), PAUSE (-1) and POST writes (-2),
// 1 µs apart except PAUSE, which costs nothing.
std::vector<Event> Readings(const std::vector<int64_t>& script) {
  uint64_t t = 0;
  std::vector<Event> events;
  events.reserve(script.size());
  for (int64_t item : script) {
    if (item == -1) {
      events.push_back(Event::Cpu(t, board::CpuOp::Pause));
      continue;
    }
    events.push_back(item == -2
                         ? Event::Io(t, IoOp::Out, 0x80, 8, 0xC4)
                         : Event::Io(t, IoOp::In, kTimerPort, 32, static_cast<uint32_t>(item)));
    t += 1000;
  }
  return events;
}

struct WaitShape {
  uint32_t polls;
  uint32_t ticks;
};

std::vector<WaitShape> Shapes(const std::vector<TimerWait>& waits) {
  std::vector<WaitShape> shapes;
  shapes.reserve(waits.size());
  for (const TimerWait& w : waits) {
    shapes.push_back({w.polls, w.Ticks()});
  }
  return shapes;
}

bool operator==(const WaitShape& a, const WaitShape& b) {
  return a.polls == b.polls && a.ticks == b.ticks;
}

TEST(TimerWaits, AreToldApart) {
  struct Case {
    const char* name;
    std::vector<int64_t> script;
    std::optional<uint32_t> expected;
    std::vector<WaitShape> waits;
  };
  const std::vector<Case> cases = {
      // First reading, first check, then readings after PAUSE; a reading
      // straight after the last one starts the next wait.
      {"back to back with PAUSE",
       {0, 4, -1, 8, 12, 16, -1, 20, -2},
       std::nullopt,
       {{3, 8}, {3, 8}}},
      {"first check only",
       {0, 4, -1, 8, 12, 16, -2, 30, 31},
       std::nullopt,
       {{3, 8}, {2, 4}, {2, 1}}},
      {"separated by other lines",
       {0, 4, -1, 8, -2, 20, 24, -1, 28},
       std::nullopt,
       {{3, 8}, {3, 8}}},
      // No PAUSE lines at all: cut where the expected delay has passed.
      {"bare, cut at the delay", {0, 4, 8, 12, 16, 20, -2}, 8, {{3, 8}, {3, 8}}},
      {"bare, no delay known", {0, 4, 8, 12, 16, 20, -2}, std::nullopt, {{6, 20}}},
      {"24-bit wrap", {0xFFFFF0, 0xFFFFFC, -1, 0x10}, std::nullopt, {{3, 0x20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Event> events = Readings(c.script);
    std::vector<TimerWait> waits = FindTimerWaits(events, c.expected);
    EXPECT_EQ(Shapes(waits), c.waits);
    for (const TimerWait& w : waits) {
      EXPECT_TRUE(w.answered);
      EXPECT_EQ(w.start, events[w.first].t);
      EXPECT_EQ(w.end, w.last + 1 < events.size() ? events[w.last + 1].t : events[w.last].t);
    }
  }
}

TEST(TimerWaits, FloatingPortIsNotAnAnswer) {
  std::vector<TimerWait> waits = FindTimerWaits(Readings({0xFFFFFFFF, 0xFFFFFFFF, -1, 0xFFFFFFFF}));
  ASSERT_EQ(waits.size(), 1U);
  EXPECT_FALSE(waits[0].answered);
  EXPECT_EQ(waits[0].polls, 3U);
}

TEST(TimerWaits, TraceWithoutPauseSplitsLikeOneWithPause) {
  board::BoardConfig config;
  board::RunResult run = board::RunNative(config);
  std::vector<Event> all = run.trace().Events();
  std::vector<Event> bare;
  std::copy_if(all.begin(), all.end(), std::back_inserter(bare),
               [](const Event& e) { return e.kind != board::EventKind::Cpu; });
  std::vector<TimerWait> withPause = FindTimerWaits(all, StepDelayTicks(config));
  std::vector<TimerWait> without = FindTimerWaits(bare, StepDelayTicks(config));
  ASSERT_EQ(withPause.size(), 48U);  // 24 steps: a level wait and a step wait each
  ASSERT_EQ(without.size(), withPause.size());
  for (size_t i = 0; i < without.size(); ++i) {
    EXPECT_EQ(without[i].start, withPause[i].start) << i;
    EXPECT_EQ(without[i].end, withPause[i].end) << i;
    EXPECT_EQ(without[i].polls, withPause[i].polls) << i;
    EXPECT_GE(withPause[i].Ticks(), *StepDelayTicks(config)) << i;
  }
}

TEST(SuperIoReplay, CollapsesTheConfigurationProtocol) {
  using Kind = SioAccess::Kind;
  struct Access {
    IoOp op;
    uint16_t port;
    uint8_t value;
    Kind kind;
  };
  // Enter, select device 8, leave; enter, write 0xF6, leave; enter, read a
  // global register; a broken key; a data write outside configuration mode.
  const std::vector<Access> script = {
      {IoOp::Out, 0x2E, 0x87, Kind::Key},      {IoOp::Out, 0x2E, 0x87, Kind::Key},
      {IoOp::Out, 0x2E, 0x07, Kind::Key},      {IoOp::Out, 0x2F, 0x08, Kind::Select},
      {IoOp::Out, 0x2E, 0xAA, Kind::Key},      {IoOp::Out, 0x2E, 0x87, Kind::Key},
      {IoOp::Out, 0x2E, 0x87, Kind::Key},      {IoOp::Out, 0x2E, 0xF6, Kind::Key},
      {IoOp::Out, 0x2F, 0x01, Kind::Register}, {IoOp::In, 0x2E, 0xF6, Kind::IndexRead},
      {IoOp::Out, 0x2E, 0x20, Kind::Key},      {IoOp::In, 0x2F, 0x00, Kind::Register},
      {IoOp::Out, 0x2E, 0xAA, Kind::Key},      {IoOp::Out, 0x2E, 0x87, Kind::Key},
      {IoOp::Out, 0x2E, 0x55, Kind::Key},      {IoOp::Out, 0x2E, 0x87, Kind::Key},
      {IoOp::Out, 0x2F, 0x02, Kind::Ignored},
  };
  SuperIoReplay sio{board::BoardConfig{}};
  std::vector<SioAccess> registers;
  for (const Access& a : script) {
    std::optional<SioAccess> access = sio.Apply(Event::Io(0, a.op, a.port, 8, a.value));
    ASSERT_TRUE(access);
    EXPECT_EQ(access->kind, a.kind) << std::hex << a.port << " " << int{a.value};
    if (access->kind == Kind::Register) {
      registers.push_back(*access);
    }
  }
  ASSERT_EQ(registers.size(), 2U);
  EXPECT_TRUE(registers[0].write);
  EXPECT_FALSE(registers[0].global);
  EXPECT_EQ(registers[0].device, 8);
  EXPECT_EQ(registers[0].reg, 0xF6);
  EXPECT_EQ(registers[0].value, 1);
  EXPECT_FALSE(registers[1].write);
  EXPECT_TRUE(registers[1].global);
  EXPECT_EQ(registers[1].reg, 0x20);
  EXPECT_EQ(sio.Selected(), 8);
  // Other ports and widths are not the chip's.
  EXPECT_FALSE(sio.Apply(Event::Io(0, IoOp::Out, 0x80, 8, 0xC4)));
  EXPECT_FALSE(sio.Apply(Event::Io(0, IoOp::Out, 0x2E, 16, 0x87)));
}

TEST(Formatting, PostCodesGroupBySteps) {
  struct Case {
    std::vector<uint8_t> codes;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "none"},
           {{0xC4, 0xC8, 0xCC}, "C4 C8 CC"},
           {{0xC4, 0xC8, 0xCC, 0xC4, 0xC8, 0xCC}, "(C4 C8 CC) ×2"},
           {{0xC4, 0xC8, 0xCC, 0xC4, 0xC8, 0xCC, 0xC4, 0xC8}, "(C4 C8 CC) ×2, C4 C8"},
           {{0xC4, 0xC4, 0xC4}, "C4 ×3"},
           {{0x11, 0x22, 0xC4, 0xC8}, "11 22, C4 C8"},
       }) {
    EXPECT_EQ(FormatPostCodes(c.codes), c.text);
  }
}

TEST(Formatting, Durations) {
  struct Case {
    uint64_t ns;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{{0, "0 ns"},
                                         {999, "999 ns"},
                                         {1000, "1.0 µs"},
                                         {380400, "380.4 µs"},
                                         {999999, "999.9 µs"},
                                         {1000000, "1.000 ms"},
                                         {58700400, "58.700 ms"},
                                         {5000000000, "5000.000 ms"}}) {
    EXPECT_EQ(FormatDuration(c.ns), c.text);
  }
}

// What an SMBus line costs on the wire, from the board's documented bit
// counts (a warned transaction was carried out and costs what it moved).
uint64_t WireCost(const Event& e) {
  if (board::IsError(e.status)) {
    return board::cost::kSmbusFailedBits * board::cost::kSmbusBitNs;
  }
  uint64_t bytes = e.Data().size();
  uint64_t bits = e.op == static_cast<uint8_t>(board::SmbusOperation::WriteBlock)
                      ? board::cost::SmbusBlockWriteBits(bytes)
                      : board::cost::SmbusBlockReadBits(bytes);
  return bits * board::cost::kSmbusBitNs;
}

TEST(TimeSplit, AddsUpAndChargesTheWire) {
  for (const char* text : {"{}", R"({"clockGenerator": {"code": 1027,
                                      "failures": [{"transaction": 18, "status": 2147483655},
                                                   {"transaction": 3, "status": 5}]}})"}) {
    SCOPED_TRACE(text);
    Scenario scenario = ParseScenarioText(text, "s.json");
    board::RunResult run = board::RunNative(scenario.config);
    std::span<const Event> events = run.trace().Events();
    std::vector<TimerWait> waits = FindTimerWaits(events, StepDelayTicks(scenario.config));
    TimeSplit split = SplitTime(events, waits);
    uint64_t wire = 0;
    for (const Event& e : events) {
      wire += e.kind == board::EventKind::Smbus ? WireCost(e) : 0;
    }
    EXPECT_EQ(split.smbus, wire);
    EXPECT_EQ(split.total, run.board->Now());
    EXPECT_EQ(split.smbus + split.delays + split.other, split.total);
    EXPECT_EQ(split.waits, waits.size());
    uint64_t spans = 0;
    for (const TimerWait& w : waits) {
      spans += w.end - w.start;
    }
    EXPECT_EQ(split.delays, spans);
  }
}

// Every scenario under tests/scenarios: the timeline's last values are the
// board's final state, the summary counts the steps the POST port saw, and
// the listing has one line per wait and no raw Super I/O port line.
TEST(Timeline, EndsWhereTheBoardEnds) {
  size_t scenarios = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CLOCKRAMP_SCENARIOS_DIR)) {
    if (entry.path().extension() != ".json") {
      continue;
    }
    ++scenarios;
    SCOPED_TRACE(entry.path().filename().string());
    Scenario scenario = LoadScenario(entry.path().string());
    EngineRun run = FindEngine(kDefaultEngine)->run(scenario.config, nullptr);
    std::span<const Event> events = run.board->Events().Events();
    const board::StateSnapshot& state = events.back().Snapshot();
    ASSERT_EQ(events.back().kind, board::EventKind::State);

    std::stringstream vcdText;
    WriteVcd(vcdText, scenario.config, events, {"today", "test"});
    test::VcdFile vcd = test::ReadVcd(vcdText);
    EXPECT_EQ(vcd.timescale, "100 ns");
    EXPECT_EQ(vcd.endTime, events.back().t);
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("frequency_code")),
              state.clockGenerator[19] | ((state.clockGenerator[20] & 7) << 8));
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("reg6_level")), state.clockGenerator[6]);
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("reg3_bit7")), state.clockGenerator[3] >> 7);
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("reg9_bits6_3")),
              (state.clockGenerator[9] >> 3) & 0xF);
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("guard_armed")), state.guardArmed ? 1U : 0U);
    EXPECT_EQ(test::BitsValue(vcd.FinalValue("acpi_decoding")), state.acpiControl >> 7);
    if (state.post.empty()) {
      EXPECT_EQ(vcd.FinalValue("post_code"), "xxxxxxxx");
    } else {
      EXPECT_EQ(test::BitsValue(vcd.FinalValue("post_code")), state.post.back());
    }

    RunSummary summary = Summarize(scenario, "native", run);
    EXPECT_EQ(summary.steps, std::count(state.post.begin(), state.post.end(), 0xC4));
    EXPECT_EQ(summary.guardArmed, state.guardArmed);

    std::vector<TimerWait> waits = FindTimerWaits(events, StepDelayTicks(scenario.config));
    std::vector<ListingLine> lines = ListTrace(scenario.config, events);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const ListingLine& l) { return l.text.starts_with("timer wait"); }),
              static_cast<std::ptrdiff_t>(waits.size()));
    for (const ListingLine& line : lines) {
      EXPECT_FALSE(line.text.starts_with("port 0x002E") || line.text.starts_with("port 0x002F"))
          << line.text;
    }
  }
  EXPECT_GE(scenarios, 10U);
}

// A warned transaction was carried out: the listing shows what it moved and
// then the warning, the replayed device takes a warned write, and a step
// with warnings has not failed.
TEST(Formatting, AWarnedTransactionIsListedAndReplayedAsCarriedOut) {
  Scenario scenario = LoadScenario(std::string(CLOCKRAMP_SCENARIOS_DIR) + "/step-writes-warn.json");
  board::RunResult run = board::RunNative(scenario.config);
  std::span<const Event> events = run.trace().Events();
  std::vector<std::string> texts;
  for (const ListingLine& line : ListTrace(scenario.config, events)) {
    texts.push_back(line.text);
  }
  for (const char* expected :
       {"readBlock reg 0, up to 17 → 17 bytes: 00 25 00 80 00 00 C0 00 11 00 00 00 00 00 00 00 "
        "00: EFI_WARN_BUFFER_TOO_SMALL",
        "writeBlock reg 19 ← EB 03 (code 1003): EFI_WARN_WRITE_FAILURE",
        "writeBlock reg 3 ← 0x80: EFI_WARN_STALE_DATA"}) {
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
      return t.ends_with(expected);
    })) << expected;
  }
  ClockGenReplay replay(scenario.config);
  for (const Event& e : events) {
    replay.Apply(e);
  }
  EXPECT_EQ(replay.Code(), 1003);
  EXPECT_EQ(replay.Register(3), 0x80);
  std::vector<TimerWait> waits = FindTimerWaits(events, StepDelayTicks(scenario.config));
  std::vector<RampStep> steps = FindRampSteps(scenario.config, events, waits);
  ASSERT_EQ(steps.size(), 3U);
  EXPECT_TRUE(std::none_of(steps.begin(), steps.end(), [](const RampStep& s) { return s.failed; }));
}

TEST(Timeline, FollowsTheStepsOfTheDefaultBoard) {
  board::BoardConfig config;
  board::RunResult run = board::RunNative(config);
  std::span<const Event> events = run.trace().Events();
  std::stringstream text;
  WriteVcd(text, config, events);
  test::VcdFile vcd = test::ReadVcd(text);
  // A change shows when the access that made it ends: the next line's t.
  auto firstCodeWrite = std::find_if(events.begin(), events.end(), [](const Event& e) {
    return e.kind == board::EventKind::Smbus && e.value == 19;
  });
  ASSERT_NE(firstCodeWrite + 1, events.end());
  EXPECT_EQ(vcd.ValueAt("frequency_code", (firstCodeWrite + 1)->t - 1), "01111101000");
  EXPECT_EQ(vcd.ValueAt("frequency_code", (firstCodeWrite + 1)->t), "01111101001");
  // The code only ever moves by one, 24 times, and each change happens with
  // the guard armed and register 3 bit 7 clear.
  const std::string& codeId = vcd.Variable("frequency_code").id;
  uint64_t previous = test::BitsValue(vcd.initial.at(codeId));
  EXPECT_EQ(previous, 1000U);
  int changes = 0;
  for (const test::VcdChange& c : vcd.changes) {
    if (c.id != codeId) {
      continue;
    }
    uint64_t code = test::BitsValue(c.value);
    EXPECT_EQ(code, previous + 1);
    EXPECT_EQ(vcd.ValueAt("guard_armed", c.time), "1") << c.time;
    EXPECT_EQ(vcd.ValueAt("reg3_bit7", c.time), "0") << c.time;
    EXPECT_EQ(vcd.ValueAt("reg9_bits6_3", c.time), "1111") << c.time;
    previous = code;
    ++changes;
  }
  EXPECT_EQ(changes, 24);
  EXPECT_EQ(vcd.initial.at(vcd.Variable("acpi_decoding").id), "0");
  EXPECT_EQ(vcd.ValueAt("acpi_decoding", 400), "1");
}

}  // namespace
}  // namespace clockramp::tool
