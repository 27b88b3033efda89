// The native engine: the module compiled for the host, running on the
// simulated board, with its full trace kept in memory, with the events
// streamed to a sink that keeps nothing, and with the JSON Lines trace
// written to /dev/null as the run goes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <optional>

#include "bench/Scenarios.h"
#include "board/EventSink.h"
#include "board/JsonlWriter.h"
#include "board/NativeEngine.h"

namespace {

// One run a iteration, a fresh board each time (as `clockramp run` does).
// Counters: trace lines and ramp steps of one run.
void RunNative(benchmark::State& state, const board::BoardConfig& config) {
  size_t lines = 0;
  while (state.KeepRunning()) {
    board::RunResult result = board::RunNative(config);
    lines = result.trace().size();
    if (result.hung || result.notifyStatus != std::optional<uint32_t>(0)) {
      state.SkipWithError("the run did not complete with EFI_SUCCESS");
      break;
    }
  }
  state.counters["trace_lines"] = static_cast<double>(lines);
}

// Counts the events and keeps none.
class CountingSink final : public board::EventSink {
 public:
  void OnEvent(const board::Event& /*event*/) override { ++count; }
  size_t count = 0;
};

// One run a iteration with its events streamed to a sink that keeps nothing,
// or (jsonl) to the JSON Lines writer on /dev/null.
void RunStreamed(benchmark::State& state, const board::BoardConfig& config, bool jsonl) {
  std::ofstream devNull("/dev/null", std::ios::binary);
  size_t lines = 0;
  while (state.KeepRunning()) {
    CountingSink counter;
    board::JsonlWriter writer(devNull);
    board::FanOut sinks;
    sinks.Add(counter);
    sinks.Add(writer);
    // Without the trace the counter is the run's only sink, as the
    // analysis is `clockramp run`'s.
    board::RunResult result =
        board::RunNative(config, jsonl ? static_cast<board::EventSink*>(&sinks) : &counter);
    writer.Finish();
    lines = counter.count;
    if (result.hung || result.notifyStatus != std::optional<uint32_t>(0)) {
      state.SkipWithError("the run did not complete with EFI_SUCCESS");
      break;
    }
  }
  state.counters["trace_lines"] = static_cast<double>(lines);
}

void BM_Native_Default(benchmark::State& state) { RunNative(state, board::BoardConfig{}); }

void BM_Streamed_FullRamp(benchmark::State& state) {
  RunStreamed(state, bench::FullRamp(static_cast<uint8_t>(state.range(0))), false);
}

void BM_Jsonl_FullRamp(benchmark::State& state) {
  RunStreamed(state, bench::FullRamp(static_cast<uint8_t>(state.range(0))), true);
}

void BM_Native_FullRamp(benchmark::State& state) {
  RunNative(state, bench::FullRamp(static_cast<uint8_t>(state.range(0))));
  state.counters["steps"] = bench::kFullRampSteps;
}

}  // namespace

BENCHMARK(BM_Native_Default)->Name("native/default")->Unit(benchmark::kMillisecond);
// 255 µs is the worst case, 50 µs the default board's delay, and 0 µs shows
// the cost of the steps without the timer polls of the settle waits.
BENCHMARK(BM_Native_FullRamp)
    ->Name("native/full_ramp")
    ->ArgName("delay_us")
    ->Arg(255)
    ->Arg(50)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond);
// The worst case with nothing kept per access, and with the full JSON Lines
// trace written to /dev/null.
BENCHMARK(BM_Streamed_FullRamp)
    ->Name("native/streamed/full_ramp")
    ->ArgName("delay_us")
    ->Arg(255)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jsonl_FullRamp)
    ->Name("native/jsonl_devnull/full_ramp")
    ->ArgName("delay_us")
    ->Arg(255)
    ->Unit(benchmark::kMillisecond);
