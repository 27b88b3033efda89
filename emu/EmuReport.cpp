// clockramp-emu-report [scenarios] [image]: the IA-32 engine's figures.
//
// Runs the default board on the IA-32 image with measuring on and prints
// instruction counts (entry, callback, per ramp step), PAUSEs, the stack
// high-water mark and the wall-clock time; then times the default board
// without measuring, and runs `scenarios` (default 1000) random boards on
// both engines, reporting any difference and the total time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "emu/Differential.h"
#include "emu/Ia32Engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int Report(uint64_t scenarios, const std::string& path) {
  emu::EmuOptions options;
  options.image = emu::ReadImage(path);

  emu::EmuResult measured = emu::RunIa32(board::BoardConfig{}, options);
  const emu::EmuFigures& f = measured.figures;
  std::printf("image %s at 0x%08X\n", path.c_str(), f.load_address);
  std::printf("default board: entry 0x%08X, callback 0x%08X, %zu trace lines\n",
              measured.entryStatus.value_or(0xFFFFFFFF), measured.notifyStatus.value_or(0xFFFFFFFF),
              measured.trace().size());
  std::printf("  instructions: %llu (entry %llu, callback %llu), PAUSE %llu\n",
              static_cast<unsigned long long>(f.instructions),
              static_cast<unsigned long long>(f.entry_instructions),
              static_cast<unsigned long long>(f.callback_instructions),
              static_cast<unsigned long long>(f.pauses));
  if (!f.step_instructions.empty()) {
    uint64_t lo = f.step_instructions[0];
    uint64_t hi = lo;
    uint64_t sum = 0;
    for (uint64_t n : f.step_instructions) {
      lo = std::min(lo, n);
      hi = std::max(hi, n);
      sum += n;
    }
    std::printf("  per ramp step (POST 0xC4 to the next, %zu steps): min %llu, mean %llu, max %llu\n",
                f.step_instructions.size(), static_cast<unsigned long long>(lo),
                static_cast<unsigned long long>(sum / f.step_instructions.size()),
                static_cast<unsigned long long>(hi));
  }
  std::printf("  stack high-water: %u bytes (entry %u, callback %u; goal <= 1760)\n",
              f.stack_high_water, f.entry_stack, f.callback_stack);
  // Time both modes over several runs (a fresh engine and board each time).
  constexpr int kRuns = 20;
  for (bool measure : {true, false}) {
    options.measure = measure;
    double dispatch = 0;
    auto start = Clock::now();
    for (int i = 0; i < kRuns; ++i) {
      dispatch += emu::RunIa32(board::BoardConfig{}, options).figures.wall_seconds;
    }
    std::printf("  wall-clock %s: %.2f ms a run (dispatch %.2f ms; goal well under 1 s)\n",
                measure ? "measuring" : "not measuring", 1000 * Since(start) / kRuns,
                1000 * dispatch / kRuns);
  }

  options.measure = false;
  auto start = Clock::now();
  uint64_t differences = 0;
  for (uint64_t seed = 0; seed < scenarios; ++seed) {
    board::BoardConfig config = emu::RandomConfig(seed);
    emu::Comparison c = emu::RunBoth(config, options);
    if (c.difference) {
      ++differences;
      std::printf("seed %llu: %s\n  %s\n", static_cast<unsigned long long>(seed),
                  emu::DescribeConfig(config).c_str(), c.difference->c_str());
    }
  }
  std::printf("differential: %llu random boards, %llu differences, %.1f s (goal 1000 under 120 s)\n",
              static_cast<unsigned long long>(scenarios),
              static_cast<unsigned long long>(differences), Since(start));
  return differences == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    uint64_t scenarios = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 1000;
    std::string path = argc > 2 ? argv[2] : emu::DefaultImagePath();
    return Report(scenarios, path);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "clockramp-emu-report: %s\n", error.what());
    return 2;
  }
}
