#include "board/AcpiTimer.h"

#include <gtest/gtest.h>

namespace board {
namespace {

TEST(AcpiTimer, CountsWholeTicksOfVirtualTimeModulo2To24) {
  struct Case {
    uint32_t start;
    uint64_t tNs;
    uint32_t value;
  };
  for (const Case& c : std::vector<Case>{
           {0, 0, 0},
           {0, 279, 0},  // 0.9987 ticks
           {0, 280, 1},  // 1.0023 ticks
           {0, 1000, 3},
           {0, 1000000000, 3579545},
           {0, 10000000000, 2241018},  // 35,795,450 ticks, wrapped once
           {0xFFFFFF, 280, 0},         // wraps at 2^24
           {0x1FFFFFF, 0, 0xFFFFFF},   // start is 24 bits
           {100, 1000000000000000000ULL, 3062372},
           {0, UINT64_MAX, 10862272},  // no overflow at the far end
       }) {
    EXPECT_EQ(AcpiTimer(c.start).ValueAt(c.tNs), c.value) << c.start << " at " << c.tNs;
  }
}

TEST(AcpiTimer, FaultModesHoldTheCounter) {
  AcpiTimer frozen(1234, TimerMode::Frozen);
  EXPECT_EQ(frozen.ValueAt(0), 1234U);
  EXPECT_EQ(frozen.ValueAt(5000000000), 1234U);

  AcpiTimer stops(0, TimerMode::StopsAfter, 1000);
  EXPECT_EQ(stops.ValueAt(280), 1U);
  EXPECT_EQ(stops.ValueAt(1000), 3U);
  EXPECT_EQ(stops.ValueAt(1000000), 3U);
}

}  // namespace
}  // namespace board
