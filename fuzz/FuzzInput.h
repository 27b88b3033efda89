// The fuzz target's input format: a list of records, each a tag byte (taken
// modulo the number of tags) and its payload, applied in order to a base
// board. A record cut short by the end of the input reads zeros. The base is
// the default board with 2 us settle delays and a 1 ms hang limit, so that
// the common runs are short; ramps longer than 8 codes are cut to 8 unless
// a LongRamp record asks otherwise, no ramp goes further than 64 codes, and
// ramps longer than 16 codes settle for at most 3 us a step. Past the first
// steps a ramp repeats the same accesses with other codes (the automatic
// level is 3 from 28 codes off the centre on, and nothing in the ramp counts
// in fewer than 16 bits), while each step of a run costs as much as a short
// run: a longer cap only slows the search. Every code from 0 to 2047 can
// still be a start or a target; the full-length ramps in both directions
// are the sweep tests' and the worst case's (docs/robustness.md).
//
// Encode() writes the records that rebuild a configuration, for seeds (from
// code and from the scenario files). Check() decodes an input, runs the
// module natively and holds the run to the reference model and its
// invariants (tests/robustness/Oracle.h).
#ifndef CLOCKRAMP_FUZZ_FUZZINPUT_H_
#define CLOCKRAMP_FUZZ_FUZZINPUT_H_

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "board/BoardConfig.h"

namespace clockramp::fuzz {

inline constexpr uint64_t kHangLimitNs = 1'000'000;
inline constexpr int kShortRamp = 8;
inline constexpr int kLongRampFullDelays = 16;
inline constexpr int kLongRampMax = 64;

enum Tag : uint8_t {
  kCode,            // u16: the clock generator's code (11 bits)
  kRegister,        // u8 register, u8 value
  kTargetDelta,     // i8: target = current code + delta
  kTargetAbsolute,  // u16: target as stored (any 16-bit value)
  kLevel,           // u8: RampLevelSelect
  kDelay,           // u8: RampStepDelay (us)
  kSetupSize,       // u16: "Setup" size (at most 4096)
  kSetupAbsent,     //
  kSetupByte,       // u16 offset, u8 value
  kPchRcSize,       // u16: "PchRcConfiguration" size (at most 4096)
  kPchRcAbsent,     //
  kSelector,        // u8: the byte at offset 1349
  kPchRcByte,       // u16 offset, u8 value
  kFailure,         // u16 transaction, u8 status choice (>= 0xF0: u32 status follows)
  kReportedCount,   // u8: a fixed count reported in register 8
  kTimerStart,      // u32 (24 bits used)
  kTimerFrozen,     //
  kTimerStops,      // u32: stops after this many ns (modulo 100 ms)
  kAcpi,            // u8 control (register 0x44), u16 base (register 0x40)
  kPcie,            // u8: window base (bits 1:0) and PCD answer (bits 3:2)
  kSioRegister,     // u8 logical device, u8 register, u8 value
  kSioSelected,     // u8
  kPpis,            // u8: bit 0 no variable PPI, bit 1 no PCD PPI, bits 3:2 SMBus2 timing
  kNotifyStatus,    // u8 status choice (>= 0xF0: u32 status follows)
  kLongRamp,        //
  kTagCount
};

board::BoardConfig BaseConfig();
board::BoardConfig Decode(std::span<const uint8_t> data);
// The limits Decode applies to every board (hang limit, ramp length, delays
// of long ramps), applied to any board: what Decode(Encode(config)) gives.
board::BoardConfig Limit(board::BoardConfig config, bool longRamp = true);
std::vector<uint8_t> Encode(const board::BoardConfig& config);

// Configurations the seed corpus starts from.
std::vector<std::pair<std::string, board::BoardConfig>> SeedConfigs();

// Runs one input; returns the problems found (empty when the run is sound)
// and sets `description` to the decoded board.
std::vector<std::string> Check(std::span<const uint8_t> data, std::string* description = nullptr);

}  // namespace clockramp::fuzz

#endif  // CLOCKRAMP_FUZZ_FUZZINPUT_H_
