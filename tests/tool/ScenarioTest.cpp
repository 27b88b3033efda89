// The scenario parser: what each member sets, and how each kind of mistake
// is reported (the member named, the problem said).
#include "tools/Scenario.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "board/Status.h"
#include "tools/EfiStatus.h"

namespace clockramp::tool {
namespace {

using board::BoardConfig;

BoardConfig Parse(const std::string& text) { return ParseScenarioText(text, "s.json").config; }

TEST(Scenario, EmptyObjectIsTheDefaultBoard) {
  BoardConfig parsed = Parse("{}");
  BoardConfig defaults;
  EXPECT_EQ(parsed.clockGenerator, defaults.clockGenerator);
  EXPECT_EQ(parsed.setup, defaults.setup);
  EXPECT_EQ(parsed.pchRcConfiguration, defaults.pchRcConfiguration);
  EXPECT_EQ(parsed.pcieBase, defaults.pcieBase);
  EXPECT_EQ(parsed.smbusPpi, defaults.smbusPpi);
  EXPECT_EQ(parsed.hangLimitNs, defaults.hangLimitNs);
  EXPECT_TRUE(parsed.smbusFailures.empty());
  EXPECT_FALSE(parsed.reportedByteCount.has_value());
}

struct ValidCase {
  const char* name;
  const char* json;
  std::function<void(const BoardConfig&)> check;
};

TEST(Scenario, MembersSetTheBoard) {
  const std::vector<ValidCase> cases = {
      {"pei", R"({"pei": {"smbus2": "absent", "variablePpi": false, "pcdPpi": false,
                  "pcieBase": 2147483648, "notifyPpiStatus": "EFI_OUT_OF_RESOURCES",
                  "pcdValue": 18446744071562067968}})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.smbusPpi, board::SmbusPpiTiming::Absent);
         EXPECT_FALSE(c.variablePpi);
         EXPECT_FALSE(c.pcdPpi);
         EXPECT_EQ(c.pcieBase, 0x80000000U);
         EXPECT_EQ(c.notifyPpiStatus, 0x80000009U);
         EXPECT_EQ(c.pcdPcieBase, 0xFFFFFFFF80000000ULL);
       }},
      {"smbus2 before", R"({"pei": {"smbus2": "before-entry", "notifyPpiStatus": 2147483655}})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.smbusPpi, board::SmbusPpiTiming::BeforeEntry);
         EXPECT_EQ(c.notifyPpiStatus, board::kEfiDeviceError);
       }},
      {"setup fields", R"({"setup": {"RampTargetCode": 4660, "RampLevelSelect": 3, "RampStepDelay": 7,
                           "bytes": {"0": 1, "0x10": 255}}})",
       [](const BoardConfig& c) {
         ASSERT_TRUE(c.setup);
         ASSERT_EQ(c.setup->size(), 219U);
         EXPECT_EQ((*c.setup)[164], 0x34);
         EXPECT_EQ((*c.setup)[165], 0x12);
         EXPECT_EQ((*c.setup)[166], 3);
         EXPECT_EQ((*c.setup)[167], 7);
         EXPECT_EQ((*c.setup)[0], 1);
         EXPECT_EQ((*c.setup)[16], 255);
         EXPECT_EQ((*c.setup)[218], 0);
       }},
      {"setup cut short keeps the fields that fit", R"({"setup": {"size": 165, "RampTargetCode": 2047}})",
       [](const BoardConfig& c) {
         ASSERT_TRUE(c.setup);
         ASSERT_EQ(c.setup->size(), 165U);
         EXPECT_EQ((*c.setup)[164], 0xFF);
       }},
      {"setup longer than the buffer", R"({"setup": {"size": 300, "bytes": {"299": 9}}})",
       [](const BoardConfig& c) {
         ASSERT_TRUE(c.setup);
         ASSERT_EQ(c.setup->size(), 300U);
         EXPECT_EQ((*c.setup)[164], 0x00);  // 1024, the default target
         EXPECT_EQ((*c.setup)[165], 0x04);
         EXPECT_EQ((*c.setup)[166], 0xFF);
         EXPECT_EQ((*c.setup)[219], 0);
         EXPECT_EQ((*c.setup)[299], 9);
       }},
      {"bytes win over fields", R"({"setup": {"RampStepDelay": 7, "bytes": {"167": 8}}})",
       [](const BoardConfig& c) { EXPECT_EQ((*c.setup)[167], 8); }},
      {"variables absent", R"({"setup": null, "pchRcConfiguration": null})",
       [](const BoardConfig& c) {
         EXPECT_FALSE(c.setup);
         EXPECT_FALSE(c.pchRcConfiguration);
       }},
      {"pch selector and size", R"({"pchRcConfiguration": {"size": 1350, "PchRcSelector": 4}})",
       [](const BoardConfig& c) {
         ASSERT_TRUE(c.pchRcConfiguration);
         EXPECT_EQ(c.pchRcConfiguration->size(), 1350U);
         EXPECT_EQ((*c.pchRcConfiguration)[1349], 4);
       }},
      {"clock generator", R"({"clockGenerator": {"code": 1027, "registers": {"0x14": 248, "3": 0},
                              "reportedByteCount": 5,
                              "failures": [{"transaction": 18, "status": "EFI_DEVICE_ERROR"},
                                           {"transaction": 0, "status": "0x80000003"}]}})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.clockGenerator[19], 0x03);
         EXPECT_EQ(c.clockGenerator[20], 248);  // registers applied after code
         EXPECT_EQ(c.clockGenerator[3], 0);
         EXPECT_EQ(c.clockGenerator[6], 0xC0);  // untouched registers keep the default
         EXPECT_EQ(c.reportedByteCount, 5);
         ASSERT_EQ(c.smbusFailures.size(), 2U);
         EXPECT_EQ(c.smbusFailures[0], (board::SmbusFailure{18, board::kEfiDeviceError}));
         EXPECT_EQ(c.smbusFailures[1], (board::SmbusFailure{0, board::kEfiUnsupported}));
       }},
      {"code keeps register 20's upper bits", R"({"clockGenerator": {"registers": {"20": 240}, "code": 513}})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.clockGenerator[19], 0x01);
         EXPECT_EQ(c.clockGenerator[20], 240);  // registers come last: they win
       }},
      {"reported count null", R"({"clockGenerator": {"reportedByteCount": null}})",
       [](const BoardConfig& c) { EXPECT_FALSE(c.reportedByteCount); }},
      {"super io", R"({"superIo": {"registers": {"8": {"0xF6": 1, "48": 1}, "0x0A": {"231": 8}},
                                   "selected": 10, "global": {"0x20": 82}}})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.superIoDevices.at(8).at(0xF6), 1);
         EXPECT_EQ(c.superIoDevices.at(8).at(0x30), 1);
         EXPECT_EQ(c.superIoDevices.at(10).at(0xE7), 8);
         EXPECT_EQ(c.superIoSelected, 10);
         EXPECT_EQ(c.superIoGlobal.at(0x20), 82);
         EXPECT_TRUE(c.superIoPresent);
       }},
      {"no super io chip", R"({"superIo": {"present": false}})",
       [](const BoardConfig& c) { EXPECT_FALSE(c.superIoPresent); }},
      {"platform controller and timer", R"({"platformController": {"acpiBase": 65535, "acpiControl": 128},
                                           "acpiTimer": {"start": 16777215, "mode": "stops", "stopsAfterNs": 5},
                                           "hangLimitNs": 1})",
       [](const BoardConfig& c) {
         EXPECT_EQ(c.acpiBase, 0xFFFF);
         EXPECT_EQ(c.acpiControl, 0x80);
         EXPECT_EQ(c.timerStart, 0xFFFFFFU);
         EXPECT_EQ(c.timerMode, board::TimerMode::StopsAfter);
         EXPECT_EQ(c.timerStopsAfterNs, 5U);
         EXPECT_EQ(c.hangLimitNs, 1U);
       }},
      {"frozen timer", R"({"acpiTimer": {"mode": "frozen"}})",
       [](const BoardConfig& c) { EXPECT_EQ(c.timerMode, board::TimerMode::Frozen); }},
  };
  for (const ValidCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.check(Parse(c.json));
    } catch (const ScenarioError& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

TEST(Scenario, DescriptionIsKept) {
  Scenario s = ParseScenarioText(R"({"description": "three down"})", "x.json");
  EXPECT_EQ(s.description, "three down");
  EXPECT_EQ(s.source, "x.json");
}

struct InvalidCase {
  const char* json;
  const char* member;   // expected Member()
  const char* problem;  // expected part of Problem()
};

TEST(Scenario, MistakesNameTheMember) {
  const std::vector<InvalidCase> cases = {
      {R"({"setup": {"RampTargetCode": 1024,}})", "", "not valid JSON"},
      {R"([1, 2])", "", "must be a JSON object"},
      {R"({"clockgenerator": {}})", "clockgenerator", "unknown member"},
      {R"({"setup": {"RampTarget": 5}})", "setup.RampTarget", "unknown member"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1, "status": 7, "x": 1}]}})",
       "clockGenerator.failures[0].x", "unknown member"},
      {R"({"clockGenerator": {"registers": {"3": 256}}})", "clockGenerator.registers.3", "256 is out of range (0 to 255)"},
      {R"({"clockGenerator": {"registers": {"0x100": 1}}})", "clockGenerator.registers.0x100", "register 256 is out of range"},
      {R"({"clockGenerator": {"registers": {"r3": 1}}})", "clockGenerator.registers.r3", "not a register number"},
      {R"({"clockGenerator": {"registers": {"3": 1, "0x3": 2}}})", "clockGenerator.registers.", "also given as"},
      {R"({"clockGenerator": {"registers": {"3": "0x10"}}})", "clockGenerator.registers.3", "not a string"},
      {R"({"clockGenerator": {"registers": {"3": -1}}})", "clockGenerator.registers.3", "-1 is out of range"},
      {R"({"clockGenerator": {"registers": {"3": 1.5}}})", "clockGenerator.registers.3", "not the fraction 1.5"},
      {R"({"clockGenerator": {"code": 2048}})", "clockGenerator.code", "out of range (0 to 2047)"},
      {R"({"clockGenerator": {"reportedByteCount": 300}})", "clockGenerator.reportedByteCount", "out of range"},
      {R"({"clockGenerator": {"failures": {"transaction": 1}}})", "clockGenerator.failures", "must be an array"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1}]}})", "clockGenerator.failures[0]", "needs both"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1, "status": "EFI_OOPS"}]}})",
       "clockGenerator.failures[0].status", "not a status name"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1, "status": 4294967296}]}})",
       "clockGenerator.failures[0].status", "out of range"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1, "status": true}]}})",
       "clockGenerator.failures[0].status", "not a boolean"},
      {R"({"clockGenerator": {"failures": [{"transaction": 1, "status": 0}]}})",
       "clockGenerator.failures[0].status", "cannot answer EFI_SUCCESS"},
      {R"({"clockGenerator": {"failures": [{"transaction": 2, "status": 7}, {"transaction": 2, "status": 8}]}})",
       "clockGenerator.failures[1].transaction", "already has a failure"},
      {R"({"pei": {"pcdPpi": "yes"}})", "pei.pcdPpi", "must be true or false"},
      {R"({"pei": {"smbus2": "later"}})", "pei.smbus2", "must be one of"},
      {R"({"pei": {"smbus2": 1}})", "pei.smbus2", "must be one of"},
      {R"({"pei": {"pcieBase": 4294967296}})", "pei.pcieBase", "out of range"},
      {R"({"pei": {"pcieBase": 3758100480}})", "pei.pcieBase", "not a multiple of 0x10000000"},
      {R"({"pei": {"notifyPpiStatus": "success"}})", "pei.notifyPpiStatus", "not a status name"},
      {R"({"pei": []})", "pei", "must be an object, not an array"},
      {R"({"setup": 5})", "setup", "must be an object"},
      {R"({"setup": {"size": 65537}})", "setup.size", "out of range"},
      {R"({"setup": {"RampTargetCode": 65536}})", "setup.RampTargetCode", "out of range"},
      {R"({"setup": {"bytes": {"219": 1}}})", "setup.bytes.219", "the variable's size is 219"},
      {R"({"setup": {"size": 0, "bytes": {"0": 1}}})", "setup.bytes", "size 0"},
      {R"({"pchRcConfiguration": {"PchRcSelector": 256}})", "pchRcConfiguration.PchRcSelector", "out of range"},
      {R"({"pchRcConfiguration": {"size": 10, "bytes": {"1349": 5}}})", "pchRcConfiguration.bytes.1349",
       "the variable's size is 10"},
      {R"({"superIo": {"registers": {"8": {"0x20": 1}}}})", "superIo.registers.8.0x20", "is global"},
      {R"({"superIo": {"registers": {"256": {}}}})", "superIo.registers.256", "logical device 256 is out of range"},
      {R"({"superIo": {"registers": {"8": [1]}}})", "superIo.registers.8", "must be an object keyed by register"},
      {R"({"superIo": {"global": {"7": 1}}})", "superIo.global.7", "selects the logical device"},
      {R"({"superIo": {"global": {"0x30": 1}}})", "superIo.global.0x30", "out of range (0 to 47)"},
      {R"({"platformController": {"acpiBase": 65536}})", "platformController.acpiBase", "out of range"},
      {R"({"platformController": {"acpiControl": null}})", "platformController.acpiControl", "not a null"},
      {R"({"acpiTimer": {"start": 16777216}})", "acpiTimer.start", "out of range (0 to 16777215)"},
      {R"({"acpiTimer": {"mode": "stops"}})", "acpiTimer", "needs \"stopsAfterNs\""},
      {R"({"acpiTimer": {"stopsAfterNs": 5}})", "acpiTimer.stopsAfterNs", "only meaningful"},
      {R"({"hangLimitNs": 0})", "hangLimitNs", "out of range (1 to"},
      {R"({"hangLimitNs": 1000000001})", "hangLimitNs", "out of range (1 to 1000000000)"},
      // Numbers as written, wherever they are; the text's own faults with their place.
      {R"({"clockGenerator": {"failures": [{"transaction": 18446744073709551616, "status": 7}]}})",
       "clockGenerator.failures[0].transaction", "18446744073709551616 is out of range (0 to"},
      {R"({"superIo": {"registers": {"8": {"0xF6": 1e2}}}})", "superIo.registers.8.0xF6", "not the number 1e2"},
      {R"({"pei": {"pcieBase": -1e999}})", "pei.pcieBase", "-1e999 is out of range"},
      {R"({"pei": {}, "pei": {}})", "pei", "given twice"},
      {R"({"setup": {"bytes": [[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]}})",
       "setup.bytes[0][0][0][0][0][0][0][0][0][0][0][0][0][0]", "nested more than 16 deep"},
      {"{\n  \"setup\": {\n    \"size\" 5}}", "", "not valid JSON: line 3, column 12: unexpected '5'"},
      {R"({"setup": {"size": 5)", "", "not valid JSON: line 1, column 21: the text ends"},
      {R"({"description": 5})", "description", "must be a string"},
  };
  for (const InvalidCase& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      ParseScenarioText(c.json, "bad.json");
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(e.Source(), "bad.json");
      if (std::string(c.member).ends_with(".")) {
        EXPECT_TRUE(e.Member().starts_with(c.member)) << e.what();
      } else {
        EXPECT_EQ(e.Member(), c.member) << e.what();
      }
      EXPECT_NE(e.Problem().find(c.problem), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("bad.json: "), std::string::npos);
    }
  }
}

TEST(Scenario, MissingFileIsNamed) {
  try {
    LoadScenario("/nonexistent/scenario.json");
    ADD_FAILURE() << "accepted";
  } catch (const ScenarioError& e) {
    EXPECT_EQ(e.Source(), "/nonexistent/scenario.json");
    EXPECT_NE(e.Problem().find("cannot be read"), std::string::npos);
  }
}

TEST(EfiStatus, NamesAndNumbersRoundTrip) {
  struct Case {
    uint32_t status;
    const char* name;
  };
  for (const Case& c : std::vector<Case>{{0, "EFI_SUCCESS"},
                                         {board::kEfiInvalidParameter, "EFI_INVALID_PARAMETER"},
                                         {0x80000004U, "EFI_BAD_BUFFER_SIZE"},
                                         {board::kEfiBufferTooSmall, "EFI_BUFFER_TOO_SMALL"},
                                         {board::kEfiDeviceError, "EFI_DEVICE_ERROR"},
                                         {board::kEfiNotFound, "EFI_NOT_FOUND"},
                                         {board::kEfiAborted, "EFI_ABORTED"},
                                         {0x80000021U, "EFI_COMPROMISED_DATA"},
                                         {5, "EFI_WARN_STALE_DATA"},
                                         {0x8000002AU, "0x8000002A"},
                                         {0x40, "0x00000040"}}) {
    EXPECT_EQ(StatusName(c.status), c.name);
    EXPECT_EQ(StatusFromName(c.name), c.status) << c.name;
  }
  EXPECT_EQ(StatusFromName("2147483655"), board::kEfiDeviceError);
  EXPECT_FALSE(StatusFromName("EFI_DEVICE"));
  EXPECT_FALSE(StatusFromName("0x"));
  EXPECT_FALSE(StatusFromName("0x1FFFFFFFF"));
  EXPECT_FALSE(StatusFromName("-1"));
}

}  // namespace
}  // namespace clockramp::tool
