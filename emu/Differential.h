// The differential check: one board configuration run on the native engine
// and on the IA-32 engine, and the first place where the two runs differ
// (trace lines other than "cpu", then the final state and the statuses), plus
// a seeded generator of random board configurations to run it over.
#ifndef CLOCKRAMP_EMU_DIFFERENTIAL_H_
#define CLOCKRAMP_EMU_DIFFERENTIAL_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "board/BoardConfig.h"
#include "board/NativeEngine.h"
#include "emu/Ia32Engine.h"

namespace emu {

// The first difference between a native and an IA-32 run of the same
// configuration, described in one or a few lines; nullopt when they agree.
// A fault or a time-out of the IA-32 run is a difference by itself.
std::optional<std::string> Compare(const board::RunResult& native, const EmuResult& ia32);

struct Comparison {
  board::RunResult native;
  EmuResult ia32;
  std::optional<std::string> difference;
};

// Runs `config` on both engines and compares them.
Comparison RunBoth(const board::BoardConfig& config, const EmuOptions& options = {});

// The same check keeping only the native trace: the IA-32 run's events are
// compared with it as they happen (board::TraceMatcher). The difference, or
// nullopt when the engines agree.
std::optional<std::string> CheckBoth(const board::BoardConfig& config,
                                     const EmuOptions& options = {});

// An IA-32 run that kept nothing, and where it differs from a native run.
struct StreamedComparison {
  EmuResult ia32;
  std::optional<std::string> difference;
};

// Runs `config` on the IA-32 engine with its events compared, as they
// happen, with `nativeEvents` (what a native run of the same configuration
// recorded, its "cpu" lines left out or not: they take no part) and handed
// on to `sink` too when one is given. `native` is that run's outcome.
StreamedComparison CheckAgainst(const board::RunResult& native,
                                std::span<const board::Event> nativeEvents,
                                const board::BoardConfig& config, const EmuOptions& options = {},
                                board::EventSink* sink = nullptr);

// A random board for seed `seed` (the same seed gives the same board): a
// clock generator at a random code with a nearby target (now and then equal,
// above 2047 or unreachable), random levels and step delays (0-20 µs),
// "Setup" and "PchRcConfiguration" full, short, long or missing, failures at
// random SMBus transactions with random statuses, a random reported byte
// count, absent PPIs, a failing NotifyPpi, SMBus2 before, after or absent,
// ACPI decoding already on (sometimes at another base), a timer that wraps,
// freezes or stops, and odd PCD answers. Ramps are at most 12 codes and the
// hang limit 1 ms of virtual time, so that a run is short.
board::BoardConfig RandomConfig(uint64_t seed);

// One line naming what RandomConfig chose, for failure messages.
std::string DescribeConfig(const board::BoardConfig& config);

}  // namespace emu

#endif  // CLOCKRAMP_EMU_DIFFERENTIAL_H_
