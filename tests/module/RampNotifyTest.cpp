// The ramp callback over whole runs: policies, level modes, the path of the
// code, the delays, and what it reports when something fails.
#include <gtest/gtest.h>

#include <optional>

#include "board/Status.h"
#include "ramp/ClockRamp.h"
#include "tests/module/ModuleTestSupport.h"

namespace {

using board::BoardConfig;
using board::EventKind;
using board::RunResult;
using board::SmbusOperation;
using moduletest::Only;
using moduletest::WritesOf;

constexpr uint8_t kAuto = 0xFF;

BoardConfig Ramp(uint16_t from, uint16_t to, uint8_t level, uint8_t delay = 50) {
  BoardConfig config;
  config.clockGenerator = board::MakeClockGeneratorRegisters(from);
  config.setup = board::MakeSetup(to, level, delay);
  return config;
}

// The codes the run wrote, in order (successful or not).
std::vector<uint16_t> CodesWritten(const board::Trace& trace) {
  std::vector<uint16_t> codes;
  for (const auto& data : WritesOf(trace, 19)) {
    codes.push_back(static_cast<uint16_t>(((data.at(1) & 7) << 8) | data.at(0)));
  }
  return codes;
}

// The callback's events (between its call and its return or the end).
board::Trace CallbackEvents(const board::Trace& trace) {
  board::Trace out;
  bool inside = false;
  for (const board::Event& e : trace) {
    if (e.kind == EventKind::Call &&
        e.op == static_cast<uint8_t>(board::Function::ClockRampNotify)) {
      inside = true;
    } else if (inside) {
      out.Append(e);
    }
  }
  return out;
}

// How many delays of `us` microseconds the callback took.
size_t Delays(const board::Trace& trace, uint32_t us) {
  const uint32_t ticks = static_cast<uint32_t>(uint64_t{us} * 3579545 / 1000000);
  return moduletest::SplitWaits(moduletest::TimerReads(CallbackEvents(trace)), ticks).size();
}

// Index among all SMBus transactions of the n-th write of a register.
uint64_t TransactionOfWrite(const board::Trace& trace, uint8_t reg, size_t n) {
  uint64_t index = 0;
  for (const board::Event& e : trace) {
    if (e.kind != EventKind::Smbus) {
      continue;
    }
    if (moduletest::IsSmbus(e, SmbusOperation::WriteBlock, reg) && n-- == 0) {
      return index;
    }
    ++index;
  }
  ADD_FAILURE() << "no such write";
  return 0;
}

TEST(ClockRampNotify, CodeAtTargetWritesOnlyTheCountAndThePolicies) {
  BoardConfig config = Ramp(1000, 1000, 2);
  RunResult run = board::RunNative(config);
  EXPECT_EQ(run.notifyStatus, board::kEfiSuccess);

  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
  for (const auto& e : Only(CallbackEvents(run.trace()), {EventKind::Smbus})) {
    if (e.op == static_cast<uint8_t>(SmbusOperation::WriteBlock)) {
      writes.emplace_back(e.value, e.Data());
    }
  }
  const std::vector<std::pair<uint64_t, std::vector<uint8_t>>> expected = {
      {8, {0x11}}, {0, {0x20}}, {1, {0xC5}}, {8, {0x01}}};
  EXPECT_EQ(writes, expected);
  EXPECT_TRUE(run.board->Post().Codes().empty());
  EXPECT_TRUE(moduletest::TimerReads(CallbackEvents(run.trace())).empty());
}

TEST(ClockRampNotify, AutomaticLevelsFollowTheDistanceFromTheCentre) {
  RunResult run = board::RunNative(Ramp(1000, 1010, kAuto));
  EXPECT_EQ(run.notifyStatus, board::kEfiSuccess);
  EXPECT_EQ(CodesWritten(run.trace()),
            (std::vector<uint16_t>{1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010}));

  // Register 6 changes once, to level 1, just before the step to 1004.
  EXPECT_EQ(WritesOf(run.trace(), 6), (std::vector<std::vector<uint8_t>>{{0xD5}}));
  const board::Trace& trace = run.trace();
  size_t level = moduletest::Find(trace, [](const board::Event& e) {
    return moduletest::IsSmbus(e, SmbusOperation::WriteBlock, 6);
  });
  size_t code1003 = moduletest::Find(trace, [](const board::Event& e) {
    return moduletest::IsSmbus(e, SmbusOperation::WriteBlock, 19) && e.Data().at(0) == 0xEB;
  });
  size_t code1004 = moduletest::Find(trace, [](const board::Event& e) {
    return moduletest::IsSmbus(e, SmbusOperation::WriteBlock, 19) && e.Data().at(0) == 0xEC;
  });
  EXPECT_LT(code1003, level);
  EXPECT_LT(level, code1004);
  EXPECT_EQ(Delays(trace, 50), 20U);  // a level delay and a step delay per code
  EXPECT_EQ(run.board->ClockGen().Register(6), 0xD5);
}

TEST(ClockRampNotify, TheDefaultBoardCrossesAllFourLevels) {
  RunResult run = board::RunNative(BoardConfig{});
  EXPECT_EQ(WritesOf(run.trace(), 6), (std::vector<std::vector<uint8_t>>{{0xD5}, {0xEA}, {0xFF}}));
  EXPECT_EQ(Delays(run.trace(), 50), 48U);
}

TEST(ClockRampNotify, TheCurrentCodeTakesOnlyBits2To0OfRegister20) {
  // Bits 7:3 of register 20 are not part of the code: whatever they hold, a
  // ramp from 1000 to 1002 makes two steps and leaves them as they were.
  for (uint8_t upper : {uint8_t{0x08}, uint8_t{0xA8}, uint8_t{0xF8}}) {
    BoardConfig config = Ramp(1000, 1002, 0, 5);
    config.clockGenerator[20] = static_cast<uint8_t>(config.clockGenerator[20] | upper);
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiSuccess) << int(upper);
    EXPECT_EQ(CodesWritten(run.trace()), (std::vector<uint16_t>{1001, 1002})) << int(upper);
    EXPECT_EQ(run.board->ClockGen().Register(20), upper | 0x03) << int(upper);
  }
}

TEST(ClockRampNotify, StepsDownInFallingOrderWithAFixedLevel) {
  RunResult run = board::RunNative(Ramp(1000, 997, 0, 20));
  EXPECT_EQ(run.notifyStatus, board::kEfiSuccess);
  EXPECT_EQ(CodesWritten(run.trace()), (std::vector<uint16_t>{999, 998, 997}));
  EXPECT_TRUE(WritesOf(run.trace(), 6).empty());  // already 0xC0
  EXPECT_EQ(Delays(run.trace(), 20), 4U);         // N + 1
}

TEST(ClockRampNotify, AFixedLevelIsSetOnceBeforeTheFirstStep) {
  struct Case {
    uint8_t select;
    uint8_t reg6Before;
    std::optional<uint8_t> written;
  };
  for (const Case& c : {Case{2, 0xC0, 0xEA}, Case{2, 0xEA, std::nullopt}, Case{9, 0xFF, 0xC0},
                        Case{3, 0xC0, 0xFF}, Case{4, 0xD5, 0xC0}, Case{0xFE, 0xD5, 0xC0}}) {
    BoardConfig config = Ramp(1500, 1505, c.select, 10);
    config.clockGenerator[6] = c.reg6Before;
    RunResult run = board::RunNative(config);
    const board::Trace& trace = run.trace();

    auto writes = WritesOf(trace, 6);
    if (c.written) {
      ASSERT_EQ(writes.size(), 1U) << int(c.select);
      EXPECT_EQ(writes[0], std::vector<uint8_t>{*c.written});
      size_t level = moduletest::Find(trace, [](const board::Event& e) {
        return moduletest::IsSmbus(e, SmbusOperation::WriteBlock, 6);
      });
      size_t firstPost = moduletest::Find(
          trace, [](const board::Event& e) { return moduletest::IsIo(e, board::IoOp::Out, 0x80); });
      EXPECT_LT(level, firstPost);
    } else {
      EXPECT_TRUE(writes.empty());
    }
    EXPECT_EQ(Delays(trace, 10), 6U) << int(c.select);  // N + 1, even without a write
    EXPECT_EQ(run.board->ClockGen().Code(), 1505);
  }
}

TEST(ClockRampNotify, RegisterPoliciesFollowTheChipsetConfiguration) {
  struct Case {
    const char* name;
    std::optional<std::vector<uint8_t>> pchRc;
    uint8_t reg0Before, reg1Before;
    uint8_t reg0After, reg1After;
  };
  auto selector = [](uint8_t value, size_t size) {
    std::vector<uint8_t> bytes = board::MakePchRcConfiguration(value);
    bytes.resize(size);
    return bytes;
  };
  const std::vector<Case> cases = {
      {"missing clears", std::nullopt, 0x00, 0xE5, 0x20, 0x05},
      {"selector 5 sets", selector(5, 1378), 0x20, 0x25, 0x20, 0xC5},
      {"selector 5, bit 6 set", selector(5, 1378), 0x20, 0x45, 0x20, 0x45},
      {"selector 5, bit 7 set", selector(5, 1378), 0x20, 0x85, 0x20, 0x85},
      {"selector 4 clears", selector(4, 1378), 0x7F, 0x25, 0x7F, 0x05},
      {"selector 4, nothing set", selector(4, 1378), 0x20, 0x1F, 0x20, 0x1F},
      {"shortest holding the selector", selector(5, 1350), 0x20, 0x25, 0x20, 0xC5},
      {"too short for the selector", selector(5, 1349), 0x20, 0x25, 0x20, 0x05},
      {"larger than the buffer", selector(5, 1379), 0x20, 0x25, 0x20, 0x05},
  };
  for (const Case& c : cases) {
    BoardConfig config = Ramp(1000, 1000, 0);
    config.pchRcConfiguration = c.pchRc;
    config.clockGenerator[0] = c.reg0Before;
    config.clockGenerator[1] = c.reg1Before;
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiSuccess) << c.name;
    EXPECT_EQ(run.board->ClockGen().Register(0), c.reg0After) << c.name;
    EXPECT_EQ(run.board->ClockGen().Register(1), c.reg1After) << c.name;
    EXPECT_EQ(WritesOf(run.trace(), 0).size(), c.reg0Before == c.reg0After ? 0U : 1U) << c.name;
    EXPECT_EQ(WritesOf(run.trace(), 1).size(), c.reg1Before == c.reg1After ? 0U : 1U) << c.name;
  }
}

// Fills the stack below the caller with `value`: a function called next from
// the same frame finds it in every stack byte it reads before writing.
[[gnu::noinline]] void PaintStack(uint8_t value) {
  volatile uint8_t area[64 * 1024];
  for (volatile uint8_t& byte : area) {
    byte = value;
  }
}

TEST(ClockRampNotify, ASelectorTheReadDidNotDeliverIsNeverUsed) {
  // The configuration buffer is not cleared before the read, so a variable
  // that ends before the selector, or a read that fails, leaves there
  // whatever the stack held; a stale 5 must not be taken for the selector.
  struct Case {
    const char* name;
    std::optional<size_t> size;  // nullopt: no "PchRcConfiguration"
    uint8_t reg1After;
  };
  const std::vector<Case> cases = {
      {"one byte short of the selector", 1349, 0x05},
      {"just holding the selector", 1350, 0xC5},
      {"larger than the buffer", 1379, 0x05},
      {"missing", std::nullopt, 0x05},
  };
  for (const Case& c : cases) {
    for (uint8_t stale : {uint8_t{5}, uint8_t{0}}) {
      BoardConfig config = Ramp(1000, 1000, 0);
      config.pchRcConfiguration.reset();
      if (c.size) {
        config.pchRcConfiguration = board::MakePchRcConfiguration(5);
        config.pchRcConfiguration->resize(*c.size);
      }
      config.clockGenerator[1] = 0x25;
      moduletest::Bench bench(config);

      PaintStack(stale);
      EXPECT_EQ(ClockRampNotify(bench.Services(), nullptr, nullptr), EFI_SUCCESS);
      EXPECT_EQ(bench.board->ClockGen().Register(1), c.reg1After)
          << c.name << ", stale " << int(stale);
    }
  }
}

TEST(ClockRampNotify, AnUnusableSetupSendsNothing) {
  struct Case {
    const char* name;
    std::optional<size_t> setupSize;  // nullopt: no "Setup"
    bool variablePpi;
    uint32_t status;
  };
  const std::vector<Case> cases = {
      {"larger than the buffer", 220, true, board::kEfiBufferTooSmall},
      {"too short for the ramp fields", 167, true, 0x80000004U},
      {"missing", std::nullopt, true, board::kEfiNotFound},
      {"no variable PPI", 219, false, board::kEfiNotFound},
  };
  for (const Case& c : cases) {
    BoardConfig config = Ramp(1000, 1010, kAuto);
    if (c.setupSize) {
      config.setup->resize(*c.setupSize);
    } else {
      config.setup.reset();
    }
    config.variablePpi = c.variablePpi;
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, c.status) << c.name;
    auto sent = Only(CallbackEvents(run.trace()), {EventKind::Smbus, EventKind::Io});
    EXPECT_TRUE(sent.empty()) << c.name;
  }
  // The shortest "Setup" that holds the three fields is used.
  BoardConfig config = Ramp(1000, 1002, kAuto);
  config.setup->resize(168);
  EXPECT_EQ(board::RunNative(config).board->ClockGen().Code(), 1002);
}

TEST(ClockRampNotify, WithoutTheSmbus2PpiTheCallbackReportsItsAbsenceAndSendsNothing) {
  // The callback finds the SMBus2 PPI itself rather than trusting the one it
  // is handed; called when none is installed it stops after the "Setup" read.
  BoardConfig config = Ramp(1000, 1010, kAuto);
  config.smbusPpi = board::SmbusPpiTiming::Absent;
  moduletest::Bench bench(config);
  EXPECT_EQ(ClockRampNotify(bench.Services(), nullptr, nullptr), board::kEfiNotFound);
  EXPECT_TRUE(Only(bench.Trace(), {EventKind::Smbus, EventKind::Io}).empty());
}

TEST(ClockRampNotify, ATargetBeyondElevenBitsIsRefusedAfterThePolicies) {
  for (uint16_t target : {uint16_t{2048}, uint16_t{0xFFFF}}) {
    BoardConfig config = Ramp(2040, target, kAuto);
    config.clockGenerator[6] = 0xD5;
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiInvalidParameter);
    EXPECT_TRUE(CodesWritten(run.trace()).empty());
    EXPECT_TRUE(WritesOf(run.trace(), 6).empty());
    EXPECT_TRUE(moduletest::TimerReads(CallbackEvents(run.trace())).empty());
    EXPECT_EQ(WritesOf(run.trace(), 1).size(), 1U);  // the register 1 policy still applies
    EXPECT_EQ(run.board->ClockGen().Register(8), 1);
  }
  // A failing final write reports its own status.
  BoardConfig config = Ramp(2040, 2048, kAuto);
  config.smbusFailures = {{5, board::kEfiDeviceError}};  // 8, read, read, 0, 1, then 8
  EXPECT_EQ(board::RunNative(config).notifyStatus, board::kEfiDeviceError);
}

TEST(ClockRampNotify, AFailedStepDoesNotStopTheRampButIsReported) {
  const BoardConfig clean = Ramp(1000, 1003, 0, 5);

  struct Case {
    const char* name;
    std::vector<board::SmbusFailure> failures;
    uint32_t status;
    bool guardArmedAtEnd;
    uint16_t finalCode;
  };
  // Transaction numbers shift once a step stops early, so each later failure
  // is placed by a run that already has the earlier ones.
  auto at = [&clean](std::vector<board::SmbusFailure> before, uint8_t reg, size_t n,
                     uint32_t status) {
    BoardConfig config = clean;
    config.smbusFailures = before;
    before.push_back({TransactionOfWrite(board::RunNative(config).trace(), reg, n), status});
    return before;
  };
  const auto middle = at({}, 19, 1, board::kEfiDeviceError);
  const auto middleTimeout = at({}, 19, 1, 0x80000012U);
  const std::vector<Case> cases = {
      {"middle code write", middle, board::kEfiDeviceError, false, 1003},
      {"last code write", at({}, 19, 2, 0x80000012U), 0x80000012U, true, 1002},
      {"first failure wins", at(middleTimeout, 19, 2, board::kEfiDeviceError), 0x80000012U, true,
       1001},
      {"final write wins", at(middleTimeout, 8, 1, board::kEfiDeviceError), board::kEfiDeviceError,
       false, 1003},
  };
  for (const Case& c : cases) {
    BoardConfig config = clean;
    config.smbusFailures = c.failures;
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, c.status) << c.name;
    EXPECT_EQ(CodesWritten(run.trace()), (std::vector<uint16_t>{1001, 1002, 1003})) << c.name;
    EXPECT_EQ(run.board->Sio().GuardArmed(), c.guardArmedAtEnd) << c.name;
    EXPECT_EQ(run.board->ClockGen().Code(), c.finalCode) << c.name;
    EXPECT_EQ(WritesOf(run.trace(), 8).back(), std::vector<uint8_t>{0x01}) << c.name;
    EXPECT_EQ(Delays(run.trace(), 5), 4U) << c.name;
  }
}

TEST(ClockRampNotify, AStepAfterAFailedOneArmsTheGuardAgain) {
  const BoardConfig clean = Ramp(1000, 1002, 0, 5);
  BoardConfig config = clean;
  config.smbusFailures = {
      {TransactionOfWrite(board::RunNative(clean).trace(), 19, 0), board::kEfiDeviceError}};
  RunResult run = board::RunNative(config);

  // POST codes: the first step stops after 0xC8; the second runs through.
  EXPECT_EQ(run.board->Post().Codes(), (std::vector<uint8_t>{0xC4, 0xC8, 0xC4, 0xC8, 0xCC}));
  // Register 9 keeps bits 6:3 from the failed step until the next one clears them.
  auto reg9 = WritesOf(run.trace(), 9);
  ASSERT_EQ(reg9.size(), 3U);
  EXPECT_EQ(reg9[0][0] & 0x78, 0x78);
  EXPECT_EQ(reg9[2][0] & 0x78, 0);
  EXPECT_FALSE(run.board->Sio().GuardArmed());
  EXPECT_EQ(run.board->ClockGen().Code(), 1002);
}

TEST(ClockRampNotify, FailuresBeforeTheRampEndItAtOnce) {
  struct Case {
    const char* name;
    uint64_t transaction;
    size_t transactions;  // SMBus transactions made in all
  };
  // Ramp 1000 -> 1010, automatic: 8, read, read, reg 0, reg 1, then the level at 1004.
  const std::vector<Case> cases = {
      {"first block read", 1, 2},
      {"second block read", 2, 3},
      {"register 0 policy", 3, 4},
      {"register 1 policy", 4, 5},
  };
  for (const Case& c : cases) {
    BoardConfig config = Ramp(1000, 1010, kAuto);
    config.smbusFailures = {{c.transaction, board::kEfiDeviceError}};
    RunResult run = board::RunNative(config);
    EXPECT_EQ(run.notifyStatus, board::kEfiDeviceError) << c.name;
    EXPECT_EQ(Only(run.trace(), {EventKind::Smbus}).size(), c.transactions) << c.name;
    EXPECT_TRUE(run.board->Post().Codes().empty()) << c.name;
  }

  // A failed automatic level write ends the ramp with no final count write.
  BoardConfig config = Ramp(1000, 1010, kAuto);
  const board::Trace clean = board::RunNative(config).trace();
  config.smbusFailures = {{TransactionOfWrite(clean, 6, 0), 0x80000012U}};
  RunResult run = board::RunNative(config);
  EXPECT_EQ(run.notifyStatus, 0x80000012U);
  EXPECT_EQ(CodesWritten(run.trace()), (std::vector<uint16_t>{1001, 1002, 1003}));
  EXPECT_EQ(WritesOf(run.trace(), 8).size(), 1U);
}

}  // namespace
