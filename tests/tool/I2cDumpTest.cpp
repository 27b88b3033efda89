// i2cdump text in and out: the layouts the tool reads (byte mode, block
// modes with blank cells, XX), the round trip through the writer, what a
// scenario makes of a dump, and how each kind of broken dump is reported.
#include "tools/I2cDump.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "board/ClockGenerator.h"
#include "board/NativeEngine.h"
#include "board/Status.h"
#include "tools/Scenario.h"

namespace clockramp::tool {
namespace {

namespace fs = std::filesystem;
using State = DumpedRegister::State;

constexpr const char* kHeader =
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";

// A byte-mode dump with i2cdump's message in front, an XX and an upper-case digit.
const std::string kByteDump = std::string("No size specified (using byte-data access)\n") +
                              kHeader +
                              "00: 00 25 00 80 00 00 c0 00 11 XX 5a 41 00 00 00 00    "
                              ".%.?..?.?XZA....\n"
                              "10: 00 00 00 E8 03 00 00 00 00 00 00 00 00 00 00 ff    "
                              "...??..........\n";

// An SMBus block dump (mode s) of 19 bytes: the last row stops after its
// third cell, padded with blanks as i2cdump does, or cut where an editor
// stripped the trailing spaces.
std::string BlockDump(bool padded) {
  std::string third = "10: 00 01 02";
  if (padded) {
    third.append(13 * 3 + 1, ' ');
    third += "   ???";
  }
  return std::string(kHeader) + "00: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    " +
         "................\n" + third + "\n";
}

TEST(I2cDump, ReadsByteModeWithXxAndSkipsTheMessagesBeforeTheHeader) {
  RegisterDump dump = ParseI2cDump(kByteDump, "d.txt");
  EXPECT_EQ(dump[1], (DumpedRegister{State::Value, 0x25}));
  EXPECT_EQ(dump[8], (DumpedRegister{State::Value, 0x11}));
  EXPECT_EQ(dump[9].state, State::Unreadable);
  EXPECT_EQ(dump[0x13], (DumpedRegister{State::Value, 0xE8}));
  EXPECT_EQ(dump[0x1F], (DumpedRegister{State::Value, 0xFF}));
  EXPECT_EQ(dump[0x20].state, State::Absent);  // no row
  EXPECT_EQ(dump[0xFF].state, State::Absent);
}

TEST(I2cDump, BlankCellsOfBlockAndRangeDumpsAreAbsent) {
  for (bool padded : {true, false}) {
    SCOPED_TRACE(padded ? "padded" : "cut");
    RegisterDump dump = ParseI2cDump(BlockDump(padded), "s.txt");
    for (unsigned reg = 0; reg < 0x13; ++reg) {
      EXPECT_EQ(dump[reg], (DumpedRegister{State::Value, static_cast<uint8_t>(reg & 0x0F)})) << reg;
    }
    EXPECT_EQ(dump[0x13].state, State::Absent);
  }
  // i2cdump -r 0x14-0x16: blanks before and after.
  RegisterDump range = ParseI2cDump(std::string(kHeader) + "10:             aa bb cc", "r.txt");
  EXPECT_EQ(range[0x13].state, State::Absent);
  EXPECT_EQ(range[0x14], (DumpedRegister{State::Value, 0xAA}));
  EXPECT_EQ(range[0x16], (DumpedRegister{State::Value, 0xCC}));
  EXPECT_EQ(range[0x17].state, State::Absent);
}

std::string Written(const RegisterDump& dump) {
  std::ostringstream out;
  WriteI2cDump(out, dump);
  return out.str();
}

TEST(I2cDump, WriteThenReadGivesTheSameDump) {
  RegisterDump everyKind{};
  for (size_t reg = 0; reg < everyKind.size(); ++reg) {
    everyKind[reg] = reg % 7 == 3   ? DumpedRegister{State::Unreadable, 0}
                     : reg % 5 == 1 ? DumpedRegister{}
                                    : DumpedRegister{State::Value, static_cast<uint8_t>(reg * 37)};
  }
  for (const RegisterDump& dump :
       {ParseI2cDump(kByteDump, "d.txt"), ParseI2cDump(BlockDump(true), "s.txt"), everyKind}) {
    std::string text = Written(dump);
    EXPECT_EQ(ParseI2cDump(text, "w.txt"), dump) << text;
    EXPECT_EQ(Written(ParseI2cDump(text, "w.txt")), text);
  }
}

TEST(I2cDump, WritesTheLayoutOfByteMode) {
  std::array<uint8_t, 256> regs{};
  regs[0] = 0x20;
  regs[1] = 0x41;
  regs[2] = 0xFF;
  regs[3] = 0x7F;
  regs[8] = 9;
  std::bitset<256> unreadable;
  unreadable.set(4);
  board::ClockGenerator device(regs, uint8_t{2}, {}, unreadable);  // register 8 reads 2
  std::string text = Written(DumpOf(device));
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line + "\n", kHeader);
  std::getline(lines, line);
  EXPECT_EQ(line, "00: 20 41 ff 7f XX 00 00 00 02 00 00 00 00 00 00 00     A.?X...?.......");
  size_t rows = 1;
  while (std::getline(lines, line)) {
    ++rows;
  }
  EXPECT_EQ(rows, 16U);
}

struct Malformed {
  const char* name;
  std::string text;
  size_t line;          // 0: no line
  const char* problem;  // part of the message
};

TEST(I2cDump, MalformedDumpsNameTheLineAndTheProblem) {
  const std::string h = kHeader;  // line 1
  const std::vector<Malformed> cases = {
      {"empty", "", 0, "no header row"},
      {"only messages", "Error: Could not open file\n", 0, "not an i2cdump output"},
      {"row first", "00: 00 11\n" + h, 1, "before the header row"},
      {"word mode", "     0,8  1,9  2,a  3,b  4,c  5,d  6,e  7,f\n00: 0000\n", 1, "word-mode"},
      {"no rows", "x\n" + h + "\n", 2, "no register rows"},
      {"bad digit", h + "00: 00 1g 22\n", 2, "register 0x01: \"1g\" is neither"},
      {"lower-case xx", h + "00: 00 xx\n", 2, "register 0x01: \"xx\""},
      {"one digit", h + "00: 00 1 22\n", 2, "register 0x01: \"1 \""},
      {"cut mid-cell", h + "00: 00 1\n", 2, "register 0x01: \"1\""},
      {"misaligned", h + "00: 00  11 22\n", 2, "register 0x01"},
      {"no space after colon", h + "00:00 11\n", 2, "a space must follow the colon"},
      {"row not at 16", h + "08: 00 11\n", 2, "row 08 does not start a row of 16"},
      {"rows out of order", h + "10: 00\n00: 00\n", 3, "row 00 follows row 10"},
      {"row twice", h + "00: 00\n10: 00\n10: 00\n", 4, "row 10 follows row 10"},
      {"text between rows", h + "00: 00\nhello\n", 3, "\"hello\" is not a register row"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseI2cDump(c.text, "dump.txt");
      ADD_FAILURE() << "accepted";
    } catch (const I2cDumpError& e) {
      EXPECT_EQ(e.Source(), "dump.txt");
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_NE(e.Problem().find(c.problem), std::string::npos) << e.what();
      std::string prefix = c.line == 0 ? "dump.txt: " : "dump.txt:" + std::to_string(c.line) + ": ";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0U) << e.what();
    }
  }
}

// A scenario file and a dump next to it, in a folder of their own.
class DumpScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("clockramp-i2cdump-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "dumps");
  }
  void TearDown() override { fs::remove_all(dir_); }

  Scenario Load(const std::string& dump, const std::string& scenario) {
    std::ofstream(dir_ / "dumps" / "cg.txt") << dump;
    std::ofstream(dir_ / "s.json") << scenario;
    return LoadScenario((dir_ / "s.json").string());
  }

  fs::path dir_;
};

TEST_F(DumpScenario, DumpSetsRegistersAndXxMakesReadsFail) {
  // Register 0x0A unreadable: the module's first block read (registers 0 to
  // 16) fails, and the ramp never starts.
  std::string dump =
      std::string(kHeader) + "00: 00 25 00 80 00 00 c0 00 00 00 XX\n" + "10: 00 00 00 f2 03\n";
  Scenario s = Load(dump, R"({"clockGenerator": {"i2cdump": "dumps/cg.txt"}})");
  EXPECT_EQ(s.config.clockGenerator[0x13], 0xF2);
  EXPECT_TRUE(s.config.clockGeneratorUnreadable.test(0x0A));
  EXPECT_EQ(s.config.clockGeneratorUnreadable.count(), 1U);
  EXPECT_EQ(s.config.clockGenerator[0x30], board::BoardConfig{}.clockGenerator[0x30]);
  board::RunResult run = board::RunNative(s.config);
  EXPECT_EQ(run.notifyStatus, board::kEfiDeviceError);
  EXPECT_EQ(run.board->ClockGen().Code(), 0x3F2);

  // "code" and "registers" come after the dump and make what they set readable.
  s = Load(dump, R"({"clockGenerator": {"i2cdump": "dumps/cg.txt", "registers": {"10": 7}}})");
  EXPECT_EQ(s.config.clockGenerator[0x0A], 7);
  EXPECT_FALSE(s.config.clockGeneratorUnreadable.any());
  run = board::RunNative(s.config);
  EXPECT_EQ(run.notifyStatus, board::kEfiSuccess);
  EXPECT_EQ(run.board->ClockGen().Code(), 1024);
}

TEST_F(DumpScenario, BrokenOrMissingDumpNamesScenarioMemberFileAndLine) {
  try {
    Load(std::string(kHeader) + "00: 00 zz\n",
         R"({"clockGenerator": {"i2cdump": "dumps/cg.txt"}})");
    ADD_FAILURE() << "accepted";
  } catch (const ScenarioError& e) {
    EXPECT_EQ(e.Member(), "clockGenerator.i2cdump");
    std::string expected = (dir_ / "dumps" / "cg.txt").string() + ":2: register 0x01";
    EXPECT_NE(e.Problem().find(expected), std::string::npos) << e.what();
  }
  try {
    Load("", R"({"clockGenerator": {"i2cdump": "dumps/none.txt"}})");
    ADD_FAILURE() << "accepted";
  } catch (const ScenarioError& e) {
    EXPECT_NE(e.Problem().find("none.txt: cannot be read"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace clockramp::tool
