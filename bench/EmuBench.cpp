// The IA-32 engine (ClockRamp.efi under Unicorn) and the differential check.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bench/Scenarios.h"
#include "emu/Differential.h"
#include "emu/Ia32Engine.h"

namespace {

// The image is read and parsed once; every run loads it into a new machine.
const std::shared_ptr<const clockramp::pe::PeImage>& Image() {
  static const auto image = emu::ReadImage(emu::DefaultImagePath());
  return image;
}

emu::EmuOptions Options(bool measure) {
  emu::EmuOptions options;
  options.image = Image();
  options.measure = measure;
  return options;
}

// One run a iteration on a fresh board and machine. measure: with the
// per-instruction hook that counts instructions (what `clockramp report` uses).
void RunEmulated(benchmark::State& state, const board::BoardConfig& config, bool measure) {
  emu::EmuOptions options = Options(measure);
  size_t lines = 0;
  while (state.KeepRunning()) {
    emu::EmuResult result = emu::RunIa32(config, options);
    lines = result.trace().size();
    if (result.fault || result.hung || result.notifyStatus != std::optional<uint32_t>(0)) {
      state.SkipWithError("the run did not complete with EFI_SUCCESS");
      break;
    }
  }
  state.counters["trace_lines"] = static_cast<double>(lines);
}

void BM_Emulated_Default(benchmark::State& state) {
  RunEmulated(state, board::BoardConfig{}, false);
}

void BM_Emulated_DefaultMeasuring(benchmark::State& state) {
  RunEmulated(state, board::BoardConfig{}, true);
}

void BM_Emulated_FullRamp(benchmark::State& state) {
  RunEmulated(state, bench::FullRamp(static_cast<uint8_t>(state.range(0))), false);
  state.counters["steps"] = bench::kFullRampSteps;
}

// The differential check (both engines, then the comparison) of one board.
void Differential(benchmark::State& state, const std::vector<board::BoardConfig>& configs) {
  emu::EmuOptions options = Options(false);
  size_t next = 0;
  while (state.KeepRunning()) {
    emu::Comparison c = emu::RunBoth(configs[next], options);
    if (c.difference) {
      state.SkipWithError("the engines differ");
      break;
    }
    next = (next + 1) % configs.size();
  }
}

void BM_Differential_Default(benchmark::State& state) {
  Differential(state, {board::BoardConfig{}});
}

// The random boards of the differential test, cycled: the time of one
// scenario on average over the first 200 seeds.
void BM_Differential_Random(benchmark::State& state) {
  std::vector<board::BoardConfig> configs;
  for (uint64_t seed = 0; seed < 200; ++seed) {
    configs.push_back(emu::RandomConfig(seed));
  }
  Differential(state, configs);
}

}  // namespace

// Names after "emulated/" match the native benchmark of the same board, for
// the emulated/native ratio the runner prints.
BENCHMARK(BM_Emulated_Default)->Name("emulated/default")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Emulated_DefaultMeasuring)
    ->Name("emulated/default_measuring")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Emulated_FullRamp)
    ->Name("emulated/full_ramp")
    ->ArgName("delay_us")
    ->Arg(255)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Differential_Default)->Name("differential/default")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Differential_Random)->Name("differential/random")->Unit(benchmark::kMillisecond);
