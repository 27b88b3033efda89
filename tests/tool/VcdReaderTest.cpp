// The strict VCD reader is the only check on a malformed timeline (GTKWave's
// tools and sigrok accept time going backwards and undeclared identifiers):
// it must take the tool's own files and refuse each kind of breakage.
#include "VcdReader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "board/BoardConfig.h"
#include "board/NativeEngine.h"
#include "tools/Vcd.h"

namespace clockramp::tool::test {
namespace {

const std::string kHeader =
    "$date today $end $version v $end $timescale 100 ns $end\n"
    "$scope module m $end $var wire 1 ! smbus_scl $end $var wire 4 # code [3:0] $end\n"
    "$upscope $end $enddefinitions $end\n";

VcdFile Read(const std::string& text) {
  std::istringstream in(text);
  return ReadVcd(in);
}

TEST(VcdReader, TakesTheToolsTimelinesWithTheBusLinesInNs) {
  board::RunResult run = board::RunNative(board::BoardConfig{});
  for (bool oneBitOnly : {false, true}) {
    std::stringstream text;
    WriteVcd(text, board::BoardConfig{}, run.trace().Events(), {"today", "test", oneBitOnly});
    VcdFile vcd = ReadVcd(text);
    EXPECT_EQ(vcd.timescaleNs, 100U);
    EXPECT_EQ(vcd.endTime, run.trace().Events().back().t);
    EXPECT_EQ(vcd.Variable("smbus_scl").width, 1U);
    EXPECT_EQ(vcd.Variable("smbus_sda").width, 1U);
    EXPECT_EQ(vcd.FinalValue("smbus_sda"), "1");
    // The first transaction starts at 400 ns: SDA falls half a bit later.
    EXPECT_EQ(vcd.ValueAt("smbus_sda", 5399), "1");
    EXPECT_EQ(vcd.ValueAt("smbus_sda", 5400), "0");
    if (oneBitOnly) {
      EXPECT_THROW((void)vcd.Variable("frequency_code"), std::runtime_error);
    } else {
      EXPECT_EQ(vcd.Variable("frequency_code").width, 11U);
    }
  }
  VcdFile vcd = Read(kHeader + "#0 $dumpvars 1! b0000 # $end #3 0! #5 b0101 #\n");
  EXPECT_EQ(vcd.endTime, 500U);
  EXPECT_EQ(vcd.ValueAt("code", 499), "0000");
  EXPECT_EQ(vcd.ValueAt("code", 500), "0101");
}

TEST(VcdReader, RefusesEachKindOfBrokenFile) {
  const std::string dump = "#0 $dumpvars 1! b0000 # $end\n";
  struct Case {
    const char* name;
    std::string text;
    const char* problem;
  };
  for (const Case& c : std::vector<Case>{
           {"time backwards", kHeader + dump + "#5 0! #4 1!", "does not increase"},
           {"same time twice", kHeader + dump + "#5 0! #5 1!", "does not increase"},
           {"undeclared identifier", kHeader + dump + "#5 0%", "bad value"},
           {"wrong width", kHeader + dump + "#5 b01 #", "bad value"},
           {"change before $dumpvars", kHeader + "#0 1!", "before $dumpvars"},
           {"variable missing from $dumpvars", kHeader + "#0 $dumpvars 1! $end", "every variable"},
           {"bad timescale",
            "$date d $end $version v $end $timescale 3 ps $end $scope module m $end "
            "$var wire 1 ! a $end $upscope $end $enddefinitions $end",
            "timescale"},
           {"name twice",
            "$date d $end $version v $end $timescale 1 ns $end $scope module m $end "
            "$var wire 1 ! a $end $var wire 1 \" a $end $upscope $end $enddefinitions $end",
            "declared twice"},
       }) {
    SCOPED_TRACE(c.name);
    try {
      Read(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.problem), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace clockramp::tool::test
