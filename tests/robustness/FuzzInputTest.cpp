// The fuzz target's input limits: how far a decoded ramp may go and how long
// it may settle, whatever the input asks. A limit that slipped would let the
// search spend its time on ramps thousands of steps long; one applied wrongly
// would move targets the input never asked for.
#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "board/BoardConfig.h"
#include "fuzz/FuzzInput.h"
#include "tests/robustness/Scenarios.h"

namespace {

using clockramp::fuzz::Decode;
using clockramp::fuzz::Encode;

uint16_t TargetOf(const board::BoardConfig& c) {
  return static_cast<uint16_t>((*c.setup)[board::setup::kRampTargetCodeOffset] |
                               ((*c.setup)[board::setup::kRampTargetCodeOffset + 1] << 8));
}

struct RampCase {
  uint16_t from;
  uint16_t to;
  uint8_t delay;
  uint16_t target;  // after decoding
  uint8_t delayAfter;
};

TEST(FuzzInput, LongRampsAreCutAndSettleBriefly) {
  // Encode writes a LongRamp record for anything past 8 codes.
  const std::array<RampCase, 7> cases = {{
      {1000, 1004, 200, 1004, 200},  // short: as asked
      {1000, 1012, 201, 1012, 201},  // up to 16 codes: full delays
      {1000, 1020, 202, 1020, 2},    // past 16 codes: at most 3 us
      {1000, 2000, 7, 1064, 3},      // cut to 64 codes, upward
      {1000, 0, 255, 936, 3},        // and downward
      {2047, 0, 1, 1983, 1},
      {5, 0x7FF, 0, 69, 0},
  }};
  for (const RampCase& c : cases) {
    const board::BoardConfig decoded =
        Decode(Encode(robustness::RampConfig(c.from, c.to, 0xFF, c.delay)));
    EXPECT_EQ(TargetOf(decoded), c.target) << c.from << " -> " << c.to;
    EXPECT_EQ((*decoded.setup)[board::setup::kRampStepDelayOffset], c.delayAfter)
        << c.from << " -> " << c.to;
  }
}

TEST(FuzzInput, WithoutALongRampRecordARampStopsAfterEightCodes) {
  using namespace clockramp::fuzz;
  // code 1000, then an absolute target far above and far below.
  for (const auto& [to, expected] :
       std::array<std::pair<uint16_t, uint16_t>, 3>{{{1900, 1008}, {3, 992}, {0xFFFF, 0xFFFF}}}) {
    const std::vector<uint8_t> input = {
        kCode, 0xE8, 0x03, kTargetAbsolute, uint8_t(to & 0xFF), uint8_t(to >> 8)};
    EXPECT_EQ(TargetOf(Decode(input)), expected) << to;  // beyond 11 bits: left to the module
  }
}

}  // namespace
