#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "board/Event.h"
#include "board/Trace.h"

namespace board {
namespace {

using nlohmann::json;

TEST(EventJson, LinesMatchTheTraceFormat) {
  StateSnapshot state;
  state.clockGenerator[19] = 0xE8;
  state.guardArmed = true;
  state.superIoSelected = 8;
  state.superIoRegisters = {{8, {{0x30, 1}, {0xF6, 0}}}, {10, {{0xE7, 0}}}};
  state.acpiBase = 0x500;
  state.acpiControl = 0x80;
  state.post = {0xC4, 0xC8, 0xCC};
  json clockGen = json(std::vector<int>(256, 0));
  clockGen[19] = 0xE8;

  struct Case {
    Event event;
    json expected;
  };
  std::vector<Case> cases = {
      {Event::Call(5, Function::ClockRampEntry),
       {{"t", 5}, {"ev", "call"}, {"fn", "ClockRampEntry"}}},
      {Event::Return(6, Function::ClockRampNotify, 0x80000002U),
       {{"t", 6}, {"ev", "return"}, {"fn", "ClockRampNotify"}, {"status", 2147483650U}}},
      {Event::LocatePpi(7, guids::kSmbus2Ppi, 0, 0),
       json::parse(R"({"t":7,"ev":"pei","call":"LocatePpi",
         "guid":"9CA93627-B65B-4324-A202-C0B461764543","instance":0,"status":0})")},
      {Event::NotifyPpi(8, 0), {{"t", 8}, {"ev", "pei"}, {"call", "NotifyPpi"}, {"status", 0}}},
      {Event::GetVariable(9, "Setup", guids::kSetupVariable, 219, 0x80000005U, 300),
       json::parse(R"({"t":9,"ev":"pei","call":"GetVariable","name":"Setup",
         "guid":"EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9","size":219,"status":2147483653,
         "dataSize":300})")},
      {Event::Pcd(10, 5, 3758096384U),
       json::parse(R"({"t":10,"ev":"pcd","call":"Get64","token":5,"value":3758096384})")},
      {Event::Smbus(11, SmbusOperation::WriteBlock, 107, 8, 1, {17}, 0),
       json::parse(R"({"t":11,"ev":"smbus","op":"writeBlock","address":107,"command":8,
         "length":1,"data":[17],"status":0})")},
      {Event::Smbus(12, SmbusOperation::ReadByte, 80, 0, 1, {}, 0x80000003U),
       json::parse(R"({"t":12,"ev":"smbus","op":"readByte","address":80,"command":0,
         "length":1,"data":[],"status":2147483651})")},
      {Event::Io(13, IoOp::In, 1288, 32, 1234),
       json::parse(R"({"t":13,"ev":"io","op":"in","port":1288,"width":32,"value":1234})")},
      {Event::Mmio(14, MmioOp::Write, 3759120452U, 8, 128),
       json::parse(R"({"t":14,"ev":"mmio","op":"write","address":3759120452,"width":8,
         "value":128})")},
      {Event::Cpu(15, CpuOp::Pause), {{"t", 15}, {"ev", "cpu"}, {"op", "pause"}}},
      {Event::Hang(16, "stuck"), {{"t", 16}, {"ev", "hang"}, {"reason", "stuck"}}},
      {Event::State(17, state),
       {{"t", 17},
        {"ev", "state"},
        {"clockGenerator", clockGen},
        {"guardArmed", true},
        {"superIo", json::parse(R"({"selected":8,
          "registers":{"8":{"48":1,"246":0},"10":{"231":0}}})")},
        {"platformController", {{"acpiBase", 1280}, {"acpiControl", 128}}},
        {"post", {196, 200, 204}}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToJson(c.event), c.expected) << ToJson(c.event).dump();
  }
}

TEST(EventJson, JsonlWritesOneObjectPerLineTimeFirst) {
  Trace trace;
  trace.Append(Event::Call(0, Function::ClockRampEntry));
  trace.Append(Event::Io(0, IoOp::Out, 0x80, 8, 0xC4));
  std::ostringstream out;
  WriteJsonl(out, trace);
  EXPECT_EQ(out.str(),
            "{\"t\":0,\"ev\":\"call\",\"fn\":\"ClockRampEntry\"}\n"
            "{\"t\":0,\"ev\":\"io\",\"op\":\"out\",\"port\":128,\"width\":8,\"value\":196}\n");
}

TEST(TraceCompare, CpuLinesAndTimeCanBeIgnored) {
  std::vector<Event> actual = {Event::Cpu(0, CpuOp::Sidt), Event::Io(0, IoOp::In, 0x508, 32, 7),
                               Event::Cpu(1000, CpuOp::Pause),
                               Event::Io(1000, IoOp::In, 0x508, 32, 10)};
  std::vector<Event> expected = {Event::Io(0, IoOp::In, 0x508, 32, 7),
                                 Event::Io(1000, IoOp::In, 0x508, 32, 10)};
  EXPECT_TRUE(SameEvents(actual, expected));
  EXPECT_FALSE(SameEvents(actual, expected, {.ignoreCpu = false}));

  std::vector<Event> shifted = {Event::Io(50, IoOp::In, 0x508, 32, 7),
                                Event::Io(1050, IoOp::In, 0x508, 32, 10)};
  EXPECT_FALSE(SameEvents(actual, shifted));
  EXPECT_TRUE(SameEvents(actual, shifted, {.ignoreCpu = true, .ignoreTime = true}));
}

TEST(TraceCompare, ReportsTheFirstDifferenceWithBothLines) {
  std::vector<Event> actual = {Event::NotifyPpi(0, 0), Event::Io(0, IoOp::Out, 0x80, 8, 0xC4)};
  std::vector<Event> expected = {Event::NotifyPpi(0, 0), Event::Io(0, IoOp::Out, 0x80, 8, 0xC8)};
  auto diff = FirstDifference(actual, expected);
  ASSERT_TRUE(diff);
  EXPECT_NE(diff->find("event 1"), std::string::npos) << *diff;
  EXPECT_NE(diff->find("\"value\":200"), std::string::npos) << *diff;
  EXPECT_NE(diff->find("\"value\":196"), std::string::npos) << *diff;

  auto shorter = FirstDifference({actual.data(), 1}, expected);
  ASSERT_TRUE(shorter);
  EXPECT_NE(shorter->find("got (none)"), std::string::npos) << *shorter;
}

TEST(TraceCompare, DetailsCompareByValue) {
  EXPECT_EQ(Event::LocatePpi(0, guids::kPcdPpi, 0, 0), Event::LocatePpi(0, guids::kPcdPpi, 0, 0));
  EXPECT_NE(Event::LocatePpi(0, guids::kPcdPpi, 0, 0),
            Event::LocatePpi(0, guids::kSmbus2Ppi, 0, 0));
  EXPECT_NE(Event::Hang(0, "a"), Event::Hang(0, "b"));
}

TEST(Guid, PrintsAndParsesTheRegistryForm) {
  EXPECT_EQ(guids::kPchRcConfigurationVariable.ToString(), "D19A26A3-17F1-48C3-8A1E-11EB0A7F6E4E");
  EXPECT_EQ(Guid::Parse("d19a26a3-17f1-48c3-8a1e-11eb0a7f6e4e"),
            guids::kPchRcConfigurationVariable);
  for (const char* bad :
       {"", "D19A26A3-17F1-48C3-8A1E-11EB0A7F6E4", "D19A26A3-17F1-48C3-8A1E11EB0A7F6E4E0",
        "G19A26A3-17F1-48C3-8A1E-11EB0A7F6E4E"}) {
    EXPECT_FALSE(Guid::Parse(bad)) << bad;
  }
}

}  // namespace
}  // namespace board
