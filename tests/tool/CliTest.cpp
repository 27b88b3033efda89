// End-to-end tests of the clockramp binary: run as a subprocess on the
// default board and on the scenarios under tests/scenarios, checking its exit
// status, its summary, the trace file and the VCD it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BuildPaths.h"
#include "VcdReader.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("clockramp-cli-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  [[nodiscard]] fs::path Path(const std::string& name) const { return dir_ / name; }

  ToolRun Run(const std::vector<std::string>& args) const {
    std::string command = Quote(CLOCKRAMP_TOOL);
    for (const std::string& arg : args) {
      command.append(" ").append(Quote(arg));  // not " " + ...: GCC 12 -O3 false -Wrestrict
    }
    command += " >" + Quote(Path("stdout").string()) + " 2>" + Quote(Path("stderr").string());
    int raw = std::system(command.c_str());
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFile(Path("stdout"));
    run.err = ReadFile(Path("stderr"));
    return run;
  }

  // Runs a scenario file with --trace and --vcd into the test's folder.
  ToolRun RunScenario(const std::string& file, std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"run"};
    if (!file.empty()) {
      args.push_back(std::string(CLOCKRAMP_SCENARIOS_DIR) + "/" + file);
    }
    args.insert(args.end(), {"--trace", Path("t.jsonl").string(), "--vcd", Path("t.vcd").string()});
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }

  [[nodiscard]] std::vector<Json> Trace() const {
    std::vector<Json> lines;
    std::istringstream in(ReadFile(Path("t.jsonl")));
    for (std::string line; std::getline(in, line);) {
      lines.push_back(Json::parse(line));
    }
    return lines;
  }

  fs::path dir_;
};

// Lines of one kind ("smbus", "io", ...), optionally narrowed further.
std::vector<Json> Lines(const std::vector<Json>& trace, const std::string& ev,
                        const std::function<bool(const Json&)>& pred = nullptr) {
  std::vector<Json> found;
  std::copy_if(trace.begin(), trace.end(), std::back_inserter(found),
               [&](const Json& j) { return j["ev"] == ev && (!pred || pred(j)); });
  return found;
}

std::function<bool(const Json&)> WriteAt(int command) {
  return [command](const Json& j) { return j["op"] == "writeBlock" && j["command"] == command; };
}

bool IsPost(const Json& j) { return j["op"] == "out" && j["port"] == 0x80; }

// What a trace of the scenario must show.
using TraceCheck = std::function<void(const std::vector<Json>&)>;

void EndsWithState(const std::vector<Json>& trace) {
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front()["ev"], "call");
  EXPECT_EQ(trace.back()["ev"], "state");
  EXPECT_EQ(Lines(trace, "state").size(), 1U);
}

TEST_F(Cli, DefaultBoardSummary) {
  ToolRun run = RunScenario("");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* expected :
       {"entry       EFI_SUCCESS", "callback    EFI_SUCCESS",
        "code        1000 → 1024 in 24 steps\n",
        "automatic: level 0 ×3, level 1 ×8, level 2 ×8, level 3 ×5",
        "72 codes: (C4 C8 CC) ×24, last 0xCC", "guard       disarmed", "6: 0xC0 → 0xFF",
        "19: 0xE8 → 0x00", "20: 0x03 → 0x04", "decoding on",
        "time        58.700 ms: SMBus 54.260 ms, delays 2.448 ms (48 waits), other 1.992 ms"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
  std::vector<Json> trace = Trace();
  EndsWithState(trace);
  EXPECT_EQ(trace.back()["t"], 58700400);
  EXPECT_EQ(trace.back()["clockGenerator"][19], 0);
  EXPECT_EQ(trace.back()["clockGenerator"][20], 4);
  EXPECT_EQ(Lines(trace, "smbus", WriteAt(19)).size(), 24U);
}

TEST_F(Cli, DefaultBoardTimelineReadsBack) {
  ASSERT_EQ(RunScenario("").status, 0);
  std::ifstream in(Path("t.vcd"));
  clockramp::tool::test::VcdFile vcd = clockramp::tool::test::ReadVcd(in);
  EXPECT_EQ(vcd.timescale, "100 ns");
  EXPECT_FALSE(vcd.date.empty());
  EXPECT_NE(vcd.version.find("clockramp"), std::string::npos);
  EXPECT_EQ(vcd.scope, "clockramp");
  struct Expected {
    const char* name;
    unsigned width;
  };
  for (const Expected& e : std::vector<Expected>{{"frequency_code", 11},
                                                 {"reg6_level", 8},
                                                 {"reg3_bit7", 1},
                                                 {"reg9_bits6_3", 4},
                                                 {"guard_armed", 1},
                                                 {"post_code", 8},
                                                 {"acpi_decoding", 1}}) {
    EXPECT_EQ(vcd.Variable(e.name).width, e.width) << e.name;
  }
  std::vector<std::string> ids;
  for (const auto& v : vcd.variables) {
    ids.push_back(v.id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "identifiers repeat";
  EXPECT_EQ(clockramp::tool::test::BitsValue(vcd.initial.at(vcd.Variable("frequency_code").id)),
            1000U);
  EXPECT_EQ(clockramp::tool::test::BitsValue(vcd.FinalValue("frequency_code")), 1024U);
  EXPECT_EQ(clockramp::tool::test::BitsValue(vcd.FinalValue("reg6_level")), 0xFFU);
  EXPECT_EQ(clockramp::tool::test::BitsValue(vcd.FinalValue("post_code")), 0xCCU);
  EXPECT_EQ(vcd.endTime, 58700400U);
}

TEST_F(Cli, VerboseListsDecodedAccesses) {
  ToolRun run = Run({"run", "-v"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* expected :
       {"Super I/O LDN 8 reg 0xF6 ← 0x01 — guard armed", "Super I/O LDN 10 reg 0xE7 → 0x08",
        "Super I/O LDN 8 reg 0x30 ← 0x00", "PCI 00:1F.2 reg 0x40 (16-bit) ← 0x0500",
        "PCI 00:1F.2 reg 0x44 ← 0x80 — ACPI decoding on",
        "SMBus 0x6B writeBlock reg 19 ← 00 04 (code 1024)",
        "SMBus 0x6B writeBlock reg 6 ← 0xD5 (level 1)", "timer wait 179 ticks", "51 polls",
        "GetVariable \"Setup\" into 219 bytes: EFI_SUCCESS", "return ClockRampNotify: EFI_SUCCESS",
        "POST 0xC4"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected;
  }
  // Each step arms the guard (read-modify-write of two registers, one
  // write) and disarms it the same way: ten register accesses, and no line
  // for the entry keys, the selections or the exit key.
  size_t waits = 0;
  size_t superIo = 0;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    waits += line.find("timer wait") != std::string::npos ? 1 : 0;
    superIo += line.find("Super I/O") != std::string::npos ? 1 : 0;
    EXPECT_EQ(line.find("port 0x002E"), std::string::npos) << line;
    EXPECT_EQ(line.find("pause"), std::string::npos) << line;
  }
  EXPECT_EQ(waits, 48U);
  EXPECT_EQ(superIo, 24U * 10U);
  // The summary follows the listing.
  EXPECT_GT(run.out.find("code        1000 → 1024"), run.out.find("end of run"));
}

struct ScenarioCase {
  const char* file;
  int status;
  std::vector<const char*> summary;  // parts the summary shows
  TraceCheck trace;
};

TEST_F(Cli, Scenarios) {
  const std::vector<ScenarioCase> cases = {
      {"at-target.json",
       0,
       {"callback    EFI_SUCCESS", "1000 → 1000, no step", "POST        none", "8: 0x00 → 0x01"},
       [](const std::vector<Json>& t) {
         EXPECT_TRUE(Lines(t, "io", IsPost).empty());
         auto last = Lines(t, "smbus").back();
         EXPECT_EQ(last["command"], 8);
         EXPECT_EQ(last["data"], Json::array({1}));
       }},
      {"three-codes-down.json",
       0,
       {"1027 → 1024 in 3 steps\n", "automatic: level 3 ×3", "guard       disarmed"},
       [](const std::vector<Json>& t) {
         auto codes = Lines(t, "smbus", WriteAt(19));
         ASSERT_EQ(codes.size(), 3U);
         EXPECT_EQ(codes[0]["data"], Json::array({2, 4}));
         EXPECT_EQ(codes[1]["data"], Json::array({1, 4}));
         EXPECT_EQ(codes[2]["data"], Json::array({0, 4}));
       }},
      {"fixed-level-2.json",
       0,
       {"1021 → 1024 in 3 steps", "fixed (RampLevelSelect 2): level 2 ×3", "6: 0xC0 → 0xEA"},
       [](const std::vector<Json>& t) {
         auto levels = Lines(t, "smbus", WriteAt(6));
         ASSERT_EQ(levels.size(), 1U);
         EXPECT_EQ(levels[0]["data"], Json::array({0xEA}));
       }},
      {"fixed-level-9.json",
       0,
       {"fixed (RampLevelSelect 9): level 0 ×3", "6: 0xFF → 0xC0"},
       [](const std::vector<Json>& t) {
         auto levels = Lines(t, "smbus", WriteAt(6));
         ASSERT_EQ(levels.size(), 1U);
         EXPECT_EQ(levels[0]["data"], Json::array({0xC0}));
       }},
      {"selector-other.json",
       0,
       {"1: 0x25 → 0x05"},
       [](const std::vector<Json>& t) {
         auto mode = Lines(t, "smbus", WriteAt(1));
         ASSERT_EQ(mode.size(), 1U);
         EXPECT_EQ(mode[0]["data"], Json::array({0x05}));
       }},
      {"pchrc-missing.json",
       0,
       {"1: 0x25 → 0x05"},
       [](const std::vector<Json>& t) {
         auto reads = Lines(t, "pei", [](const Json& j) { return j["call"] == "GetVariable"; });
         ASSERT_EQ(reads.size(), 2U);
         EXPECT_EQ(reads[1]["name"], "PchRcConfiguration");
         EXPECT_EQ(reads[1]["status"], 0x8000000EU);
         EXPECT_EQ(Lines(t, "smbus", WriteAt(1)).size(), 1U);
       }},
      {"selector-bit7-set.json",
       0,
       {"registers   0: 0x00 → 0x20, 8: 0x00 → 0x01\n"},
       [](const std::vector<Json>& t) { EXPECT_TRUE(Lines(t, "smbus", WriteAt(1)).empty()); }},
      {"setup-too-large.json",
       0,
       {"callback    EFI_BUFFER_TOO_SMALL", "registers   unchanged"},
       [](const std::vector<Json>& t) {
         EXPECT_TRUE(Lines(t, "smbus").empty());
         auto reads = Lines(t, "pei", [](const Json& j) { return j["call"] == "GetVariable"; });
         ASSERT_EQ(reads.size(), 1U);
         EXPECT_EQ(reads[0]["dataSize"], 220);
       }},
      {"setup-short.json",
       0,
       {"callback    EFI_BAD_BUFFER_SIZE", "registers   unchanged"},
       [](const std::vector<Json>& t) { EXPECT_TRUE(Lines(t, "smbus").empty()); }},
      {"setup-missing.json",
       0,
       {"callback    EFI_NOT_FOUND"},
       [](const std::vector<Json>& t) { EXPECT_TRUE(Lines(t, "smbus").empty()); }},
      {"target-too-high.json",
       0,
       {"callback    EFI_INVALID_PARAMETER", "1000 → 1000, no step (target 2048)",
        "POST        none"},
       [](const std::vector<Json>& t) {
         EXPECT_TRUE(Lines(t, "io", IsPost).empty());
         EXPECT_TRUE(Lines(t, "smbus", WriteAt(19)).empty());
         EXPECT_EQ(Lines(t, "smbus").back()["data"], Json::array({1}));
       }},
      {"code-write-fails-last-step.json",
       0,
       {"callback    EFI_DEVICE_ERROR", "1027 → 1025 in 3 steps (1 failed; target 1024)",
        "guard       left armed", "(C4 C8 CC) ×2, C4 C8, last 0xC8"},
       [](const std::vector<Json>& t) {
         auto codes = Lines(t, "smbus", WriteAt(19));
         ASSERT_EQ(codes.size(), 3U);
         EXPECT_EQ(codes[2]["status"], 0x80000007U);
         EXPECT_TRUE(t.back()["guardArmed"].get<bool>());
         // The ramp still leaves the byte count at 1.
         EXPECT_EQ(Lines(t, "smbus").back()["command"], 8);
       }},
      {"final-write-warns.json",
       0,
       {"callback    EFI_WARN_STALE_DATA", "1000 → 1003 in 3 steps\n", "guard       disarmed",
        "(C4 C8 CC) ×3, last 0xCC", "8: 0x00 → 0x01"},
       [](const std::vector<Json>& t) {
         auto last = Lines(t, "smbus").back();
         EXPECT_EQ(last["command"], 8);
         EXPECT_EQ(last["status"], 5);
       }},
      {"step-writes-warn.json",
       0,
       {"callback    EFI_SUCCESS", "1000 → 1003 in 3 steps\n", "guard       disarmed",
        "(C4 C8 CC) ×3, last 0xCC", "19: 0xE8 → 0xEB\n"},
       [](const std::vector<Json>& t) {
         auto codes = Lines(t, "smbus", WriteAt(19));
         ASSERT_EQ(codes.size(), 3U);
         EXPECT_EQ(codes[2]["data"], Json::array({0xEB, 0x03}));
         EXPECT_EQ(codes[2]["status"], 3);
       }},
      {"notify-fails.json",
       0,
       {"entry       EFI_SUCCESS", "callback    not delivered"},
       [](const std::vector<Json>& t) {
         auto notify = Lines(t, "pei", [](const Json& j) { return j["call"] == "NotifyPpi"; });
         ASSERT_EQ(notify.size(), 1U);
         EXPECT_EQ(notify[0]["status"], 0x80000009U);
         EXPECT_TRUE(
             Lines(t, "call", [](const Json& j) { return j["fn"] == "ClockRampNotify"; }).empty());
       }},
      {"smbus2-before-entry.json",
       0,
       {"callback    EFI_SUCCESS", "1022 → 1024 in 2 steps"},
       [](const std::vector<Json>& t) {
         auto ret = std::find_if(t.begin(), t.end(), [](const Json& j) {
           return j["ev"] == "return" && j["fn"] == "ClockRampEntry";
         });
         ASSERT_NE(ret, t.end());
         ASSERT_NE(ret + 1, t.end());
         EXPECT_EQ((ret + 1)->value("fn", ""), "ClockRampNotify");
         EXPECT_EQ((ret + 1)->value("ev", ""), "call");
       }},
      {"pcd-absent-decoding-on.json",
       0,
       {"callback    EFI_SUCCESS", "1022 → 1024 in 2 steps"},
       [](const std::vector<Json>& t) {
         EXPECT_TRUE(Lines(t, "pcd").empty());
         EXPECT_TRUE(Lines(t, "mmio").empty());
       }},
      {"pcd-absent.json",
       3,
       {"callback    did not return (run stopped)", "stopped     no progress", "decoding off"},
       [](const std::vector<Json>& t) {
         EXPECT_TRUE(Lines(t, "mmio").empty());
         ASSERT_GE(t.size(), 2U);
         EXPECT_EQ(t[t.size() - 2]["ev"], "hang");
       }},
      {"i2cdump-registers.json",
       0,
       {"callback    EFI_SUCCESS", "1008 → 1024 in 16 steps", "20: 0x0B → 0x0C"},
       [](const std::vector<Json>& t) {
         auto reads = Lines(t, "smbus", [](const Json& j) { return j["op"] == "readBlock"; });
         ASSERT_EQ(reads.size(), 2U);
         EXPECT_EQ(reads[0]["data"][10], 0x5A);  // from the dump
       }},
      {"efivarfs-setup.json",
       0,
       {"1000 → 1020 in 20 steps", "delays 855.0 µs (40 waits)"},
       [](const std::vector<Json>& t) {
         auto reads = Lines(t, "pei", [](const Json& j) { return j["call"] == "GetVariable"; });
         ASSERT_FALSE(reads.empty());
         EXPECT_EQ(reads[0]["dataSize"], 219);
       }},
      {"hang-acpi-base.json",
       3,
       {"entry       EFI_SUCCESS", "callback    did not return (run stopped)", "port 0x0508",
        "base 0x0600"},
       [](const std::vector<Json>& t) {
         ASSERT_GE(t.size(), 2U);
         EXPECT_EQ(t[t.size() - 2]["ev"], "hang");
         EXPECT_TRUE(Lines(t, "return", [](const Json& j) {
                       return j["fn"] == "ClockRampNotify";
                     }).empty());
         EXPECT_TRUE(Lines(t, "mmio", [](const Json& j) { return j["op"] == "write"; }).empty());
       }},
  };
  for (const ScenarioCase& c : cases) {
    SCOPED_TRACE(c.file);
    ToolRun run = RunScenario(c.file);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.out.find(c.file), std::string::npos);
    for (const char* part : c.summary) {
      EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
    }
    std::vector<Json> trace = Trace();
    EndsWithState(trace);
    c.trace(trace);
    std::ifstream vcd(Path("t.vcd"));
    EXPECT_NO_THROW(clockramp::tool::test::ReadVcd(vcd));
  }
}

struct BadScenario {
  const char* text;    // nullptr: the file does not exist
  const char* member;  // named in the message ("" for none)
  const char* problem;
};

TEST_F(Cli, InvalidScenariosExitWith2) {
  const std::vector<BadScenario> cases = {
      {nullptr, "", "cannot be read"},
      {"{\"setup\": {\"RampTargetCode\": 5,}}", "", "not valid JSON"},
      {"{\"setup\": {\"RampTarget\": 5}}", "setup.RampTarget", "unknown member"},
      {"{\"clockGenerator\": {\"registers\": {\"19\": 256}}}", "clockGenerator.registers.19",
       "out of range"},
      {"{\"clockGenerator\": {\"failures\": [{\"transaction\": 3, \"status\": \"EFI_BROKEN\"}]}}",
       "clockGenerator.failures[0].status", "not a status name"},
      {"{\"pei\": {\"variablePpi\": 1}}", "pei.variablePpi", "must be true or false"},
      {"{\"setup\": {\"RampStepDelay\": \"50\"}}", "setup.RampStepDelay", "not a string"},
  };
  for (const BadScenario& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "missing file");
    fs::path file = Path("bad.json");
    fs::remove(file);
    if (c.text != nullptr) {
      std::ofstream(file) << c.text;
    }
    ToolRun run = Run({"run", file.string(), "--trace", Path("bad.jsonl").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    std::string expected = file.string() + ": ";
    if (*c.member != '\0') {
      expected += std::string(c.member) + ": ";
    }
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(Path("bad.jsonl")));  // no run, no trace
  }
}

// --clockgen-out: the registers as a byte-mode i2cdump of the board after
// boot would show them; XX where the dump the scenario started from had XX.
TEST_F(Cli, ClockGenOutWritesTheRegistersInI2cdumpLayout) {
  ASSERT_EQ(
      RunScenario("i2cdump-registers.json", {"--clockgen-out", Path("cg.txt").string()}).status, 0);
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(Path("cg.txt")));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 17U);
  EXPECT_EQ(lines[0], "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef");
  EXPECT_EQ(lines[1], "00: 20 c5 00 80 00 00 ff 00 01 00 5a 41 00 00 00 00     ?.?....?.ZA....");
  EXPECT_EQ(lines[2].substr(0, 20), "10: 00 00 00 00 0c 0");  // code 1024
  EXPECT_EQ(lines[5], "40: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX");

  // A dump the tool cannot read: exit status 2, the dump's file and line.
  fs::create_directories(Path("data"));
  std::ofstream(Path("data/cg.txt"))
      << "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n00: 00 11\n20: 0x\n";
  std::ofstream(Path("s.json")) << R"({"clockGenerator": {"i2cdump": "data/cg.txt"}})";
  ToolRun run = Run({"run", Path("s.json").string(), "--clockgen-out", Path("out.txt").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("s.json: clockGenerator.i2cdump: " + Path("data/cg.txt").string() +
                         ":3: register 0x20: \"0x\" is neither two hex digits nor XX"),
            std::string::npos)
      << run.err;
}

// The round trip of the README: a "Setup" file from the board, a new target
// set with `clockramp setup`, the run on a scenario that reads the new file.
TEST_F(Cli, SetupWritesAVariableFileThatARunReads) {
  const std::string name = "Setup-EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9";
  ToolRun run = Run({"setup", std::string(CLOCKRAMP_SCENARIOS_DIR) + "/board-data/" + name,
                     "--target", "1003", "--level", "2", "-o", Path(name).string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("RampTargetCode   1020 → 1003"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("RampStepDelay    20 µs (unchanged)"), std::string::npos) << run.out;
  std::ofstream(Path("s.json")) << R"({"setup": {"efivarfs": ")" + name + R"("}})";
  run = Run({"run", Path("s.json").string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("1000 → 1003 in 3 steps"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("fixed (RampLevelSelect 2)"), std::string::npos) << run.out;

  run = Run({"setup", "--target", "4000", "-o", Path("x").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--target 4000: above 2047"), std::string::npos) << run.err;
  EXPECT_EQ(Run({"setup", "--target", "1"}).status, 2);  // no output file
}

// sigrok-cli (Debian's, libsigrok 0.5) is there to decode the bus.
bool HaveSigrok() { return std::system("sigrok-cli --version >/dev/null 2>&1") == 0; }

// What sigrok's I2C decoder makes of a VCD's bus lines: the lines it prints
// with `-A i2c` (every annotation row), or only the address and data row.
std::vector<std::string> SigrokDecode(const fs::path& vcd, const fs::path& out, bool all) {
  std::string command = "sigrok-cli -I vcd -i " + Quote(vcd.string()) +
                        " -P i2c:scl=smbus_scl:sda=smbus_sda -A " +
                        (all ? "i2c" : "i2c=addr-data") + " >" + Quote(out.string());
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(out));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string Hex(const Json& byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte.get<unsigned>());
  return text;
}

// The addresses and bytes the trace's SMBus lines put on the wire, as the
// decoder names them (address 0x6B shifted, as it prints by default).
std::vector<std::string> ExpectedAnnotations(const std::vector<Json>& trace) {
  std::vector<std::string> out;
  for (const Json& line : Lines(trace, "smbus")) {
    std::string address = Hex(line["address"]);
    out.insert(out.end(), {"Start", "Address write: " + address});
    if (line["status"].get<uint32_t>() >= 0x80000000U) {  // an error; a warning ran
      out.insert(out.end(), {"NACK", "Stop"});
      continue;
    }
    const Json& data = line["data"];
    out.insert(out.end(), {"ACK", "Data write: " + Hex(line["command"]), "ACK"});
    if (line["op"] == "writeBlock") {
      out.insert(out.end(), {"Data write: " + Hex(Json(data.size())), "ACK"});
      for (const Json& b : data) {
        out.insert(out.end(), {"Data write: " + Hex(b), "ACK"});
      }
    } else {
      out.insert(out.end(),
                 {"Start repeat", "Address read: " + address, "ACK",
                  "Data read: " + Hex(Json(data.size())), data.empty() ? "NACK" : "ACK"});
      for (size_t i = 0; i < data.size(); ++i) {
        out.insert(out.end(), {"Data read: " + Hex(data[i]), i + 1 < data.size() ? "ACK" : "NACK"});
      }
    }
    out.emplace_back("Stop");
  }
  return out;
}

// Every address and byte sigrok decodes from the timeline's bus lines is the
// one the trace says, in order, with its acknowledge; for the default board
// and boards where transactions fail.
TEST_F(Cli, SigrokDecodesTheBusAsTheTraceHasIt) {
  if (!HaveSigrok()) {
    GTEST_SKIP() << "sigrok-cli is not installed (scripts/deps.sh installs it)";
  }
  std::ofstream(Path("failing-reads.json"))
      << R"({"clockGenerator": {"failures": [{"transaction": 0, "status": "EFI_TIMEOUT"},
                                              {"transaction": 2, "status": "EFI_DEVICE_ERROR"}]}})";
  for (const std::string& scenario :
       {std::string(), std::string(CLOCKRAMP_SCENARIOS_DIR) + "/code-write-fails-last-step.json",
        std::string(CLOCKRAMP_SCENARIOS_DIR) + "/i2cdump-registers.json",
        std::string(CLOCKRAMP_SCENARIOS_DIR) + "/step-writes-warn.json",
        Path("failing-reads.json").string()}) {
    SCOPED_TRACE(scenario);
    std::vector<std::string> args = {"run", "--trace", Path("t.jsonl").string(), "--sigrok-vcd",
                                     Path("s.vcd").string()};
    if (!scenario.empty()) {
      args.push_back(scenario);
    }
    ASSERT_EQ(Run(args).status, 0);
    std::vector<std::string> decoded;
    for (const std::string& line : SigrokDecode(Path("s.vcd"), Path("decoded.txt"), false)) {
      ASSERT_EQ(line.rfind("i2c-1: ", 0), 0U) << line;
      std::string text = line.substr(7);
      if (text != "Write" && text != "Read") {  // the R/W bit on its own
        decoded.push_back(text);
      }
    }
    std::vector<std::string> expected = ExpectedAnnotations(Trace());
    ASSERT_GT(expected.size(), 10U);
    EXPECT_EQ(decoded, expected);
  }
}

// compare-capture on captures decoded from our own timelines: untouched they
// match; with one byte, one acknowledge or one transaction changed, it names
// that transaction and exits 1.
TEST_F(Cli, CompareCaptureFindsTheAlteredTransaction) {
  if (!HaveSigrok()) {
    GTEST_SKIP() << "sigrok-cli is not installed (scripts/deps.sh installs it)";
  }
  struct Alteration {
    const char* name;
    std::function<void(std::vector<std::string>&)> apply;
    const char* report;
  };
  // The n-th line (from 0) that is exactly `text`.
  auto nth = [](std::vector<std::string>& lines, const std::string& text, size_t n) {
    for (std::string& line : lines) {
      if (line == text && n-- == 0) {
        return &line;
      }
    }
    ADD_FAILURE() << "no " << text;
    static std::string none;
    return &none;
  };
  const std::vector<Alteration> alterations = {
      {"one byte",
       [&](std::vector<std::string>& l) {
         *nth(l, "i2c-1: Data write: 04", 0) = "i2c-1: Data write: 05";
       },
       "first difference at symbol 5: the module 04 A, the capture 05 A"},
      {"one NACK", [&](std::vector<std::string>& l) { *nth(l, "i2c-1: ACK", 9) = "i2c-1: NACK"; },
       "first difference at symbol"},
      {"one transaction missing",
       [&](std::vector<std::string>& l) {
         auto first = std::find(l.begin(), l.end(), "i2c-1: Stop") + 1;  // drop the second
         auto last = std::find(first, l.end(), "i2c-1: Stop") + 1;
         l.erase(first, last);
       },
       "transaction #1 differs (1 match before it)"},
  };
  for (const std::string& scenario :
       {std::string(), std::string(CLOCKRAMP_SCENARIOS_DIR) + "/code-write-fails-last-step.json"}) {
    SCOPED_TRACE(scenario);
    std::vector<std::string> args = {"run", "--sigrok-vcd", Path("s.vcd").string()};
    std::vector<std::string> compare = {"compare-capture", Path("capture.txt").string()};
    if (!scenario.empty()) {
      args.push_back(scenario);
      compare.push_back(scenario);
    }
    ASSERT_EQ(Run(args).status, 0);
    const std::vector<std::string> capture = SigrokDecode(Path("s.vcd"), Path("capture.txt"), true);
    ToolRun run = Run(compare);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("transactions match the module's"), std::string::npos) << run.out;
    for (const Alteration& a : alterations) {
      SCOPED_TRACE(a.name);
      std::vector<std::string> altered = capture;
      a.apply(altered);
      std::ofstream out(Path("capture.txt"));
      for (const std::string& line : altered) {
        out << line << "\n";
      }
      out.close();
      run = Run(compare);
      EXPECT_EQ(run.status, 1) << run.out << run.err;
      EXPECT_NE(run.out.find(a.report), std::string::npos) << run.out;
    }
  }
  // A file that is no capture.
  std::ofstream(Path("capture.txt")) << "hello\n";
  ToolRun run = Run({"compare-capture", Path("capture.txt").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("capture.txt:1: \"hello\" is not a decoder line"), std::string::npos)
      << run.err;
}

TEST_F(Cli, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // part of stdout + stderr
  };
  const std::vector<Case> cases = {
      {{}, 2, "subcommand"},
      {{"walk"}, 2, ""},
      {{"run", "--bogus"}, 2, "--bogus"},
      {{"run", "a.json", "b.json"}, 2, ""},
      {{"run", "--engine", "abacus"}, 2, "abacus"},
      {{"run", "--trace"}, 2, "--trace"},
      {{"run", "--trace", "/nonexistent/folder/t.jsonl"},
       2,
       "/nonexistent/folder/t.jsonl: cannot be written"},
      {{"run", "--vcd", "/nonexistent/folder/t.vcd"},
       2,
       "/nonexistent/folder/t.vcd: cannot be written"},
      {{"run", "--clockgen-out", "/nonexistent/folder/cg.txt"},
       2,
       "/nonexistent/folder/cg.txt: cannot be written"},
      {{"--help"}, 0, "run"},
      {{"run", "--help"}, 0, "--vcd"},
      {{"run", "--engine", "native"}, 0, "1000 → 1024"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) {
      joined += a + " ";
    }
    SCOPED_TRACE(joined);
    ToolRun run = Run(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE((run.out + run.err).find(c.output), std::string::npos) << run.out << run.err;
  }
}

#ifdef CLOCKRAMP_TOOL_HAS_IMAGE
TEST_F(Cli, ImageFigures) {
  ToolRun run = Run({"image"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("image:"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("firmware file:"), std::string::npos) << run.out;

  std::string missing = Path("missing.efi").string();
  run = Run({"image", "--efi", missing});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(missing), std::string::npos) << run.err;
}
#endif

#ifdef CLOCKRAMP_TOOL_HAS_IA32
// The IA-32 engine's trace is the native engine's without the "cpu" lines.
TEST_F(Cli, Ia32EngineRunsTheImageWithTheSameTrace) {
  for (const std::string& scenario : {std::string(), std::string("code-write-fails-last-step.json"),
                                      std::string("step-writes-warn.json")}) {
    SCOPED_TRACE(scenario);
    ASSERT_EQ(RunScenario(scenario).status, 0);
    std::vector<Json> native;
    for (const Json& line : Trace()) {
      if (line["ev"] != "cpu") {
        native.push_back(line);
      }
    }
    ToolRun run = RunScenario(scenario, {"--engine", "ia32"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("stack high-water"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("instructions"), std::string::npos) << run.out;
    EXPECT_EQ(Trace(), native);
  }
}

TEST_F(Cli, CheckComparesBothEngines) {
  const std::string scenarios = CLOCKRAMP_SCENARIOS_DIR;
  ToolRun run = Run({"check", scenarios + "/three-codes-down.json",
                     scenarios + "/hang-acpi-base.json", "--random", "25", "--seed", "11"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("27 boards checked, 0 different"), std::string::npos) << run.out;

  // An image that writes a global faults in the emulator: a difference.
  run = Run({"check", "--image", CLOCKRAMP_BAD_IMAGE});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("DIFFERENT"), std::string::npos) << run.out;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"check", "--image", Path("none.efi").string()},
        std::vector<std::string>{"check", Path("none.json").string()}}) {
    EXPECT_EQ(Run(args).status, 2) << args.back();
  }
}
#endif

}  // namespace
