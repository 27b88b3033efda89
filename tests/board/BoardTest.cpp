#include "board/Board.h"

#include <gtest/gtest.h>

#include "board/Status.h"

namespace board {
namespace {

constexpr uint64_t kAcpiFunction = 0xE0000000 + 0xFA000;
constexpr auto kWrite = static_cast<uint8_t>(SmbusOperation::WriteBlock);
constexpr auto kRead = static_cast<uint8_t>(SmbusOperation::ReadBlock);

BoardConfig DecodingAt0x500() {
  BoardConfig config;
  config.acpiBase = 0x500;
  config.acpiControl = 0x80;
  return config;
}

TEST(Board, EachAccessIsStampedAtItsStartAndChargedItsCost) {
  Board board;
  std::vector<uint8_t> count{0x11};
  board.IoWrite(0x80, 8, 0xC4);                                   // 1 us
  (void)board.MmioRead(kAcpiFunction + 0x44, 8);                  // 100 ns
  (void)board.SmbusExecute(0x6B, 8, kWrite, false, 1, count);     // 38 bits
  (void)board.LocatePpi(guids::kPcdPpi, 0);                       // free
  (void)board.PcdGet64(5);                                        // free
  (void)board.GetVariable(u"Setup", guids::kSetupVariable, 219);  // free
  uint16_t limit = 0;
  (void)board.ReadIdtr(limit);                              // free
  board.Pause();                                            // free
  (void)board.SmbusExecute(0x6B, 0, kRead, false, 17, {});  // 192 bits
  (void)board.SmbusExecute(0x50, 0, kRead, false, 17, {});  // failed: 11 bits
  (void)board.IoRead(0x2F, 8);                              // 1 us

  const uint64_t t2 = 1100, t3 = t2 + 380000, t4 = t3 + 1920000, t5 = t4 + 110000;
  std::vector<uint8_t> image(17, 0);
  image[1] = 0x25, image[3] = 0x80, image[6] = 0xC0, image[8] = 0x11;
  std::vector<Event> expected = {
      Event::Io(0, IoOp::Out, 0x80, 8, 0xC4),
      Event::Mmio(1000, MmioOp::Read, kAcpiFunction + 0x44, 8, 0),
      Event::Smbus(t2, SmbusOperation::WriteBlock, 0x6B, 8, 1, {0x11}, kEfiSuccess),
      Event::LocatePpi(t3, guids::kPcdPpi, 0, kEfiNotFound),
      Event::Pcd(t3, 5, 0xE0000000),
      Event::GetVariable(t3, "Setup", guids::kSetupVariable, 219, kEfiSuccess, 219),
      Event::Cpu(t3, CpuOp::Sidt),
      Event::Cpu(t3, CpuOp::Pause),
      Event::Smbus(t3, SmbusOperation::ReadBlock, 0x6B, 0, 17, image, kEfiSuccess),
      Event::Smbus(t4, SmbusOperation::ReadBlock, 0x50, 0, 17, {}, kEfiDeviceError),
      Event::Io(t5, IoOp::In, 0x2F, 8, 0xFF),
  };
  auto diff = FirstDifference(board.Events().Events(), expected, {.ignoreCpu = false});
  EXPECT_FALSE(diff) << *diff;
  EXPECT_EQ(board.Now(), t5 + 1000);
}

TEST(Board, PortsDispatchToTheirDevicesAndTheRestFloats) {
  struct Case {
    uint16_t port;
    unsigned width;
    uint32_t value;
  };
  Board board(DecodingAt0x500());
  for (const Case& c : std::vector<Case>{{0x508, 32, 0},       // timer at t = 0
                                         {0x508, 16, 0xFFFF},  // timer answers 32 bits only
                                         {0x509, 32, 0xFFFFFFFF},
                                         {0x80, 8, 0xFF},  // POST port is write-only
                                         {0x2E, 8, 0xFF},
                                         {0x2F, 16, 0xFFFF},  // Super I/O is 8-bit
                                         {0x1234, 8, 0xFF}}) {
    EXPECT_EQ(board.IoRead(c.port, c.width), c.value) << std::hex << c.port;
  }
  board.IoWrite(0x80, 8, 0xC4);
  board.IoWrite(0x80, 16, 0x12C8);
  board.IoWrite(0x81, 8, 0x01);
  EXPECT_EQ(board.Post().Codes(), (std::vector<uint8_t>{0xC4, 0xC8}));
}

TEST(Board, WithoutASuperIoChipItsPortsFloatAndKeepNothing) {
  BoardConfig config;
  config.superIoPresent = false;
  config.superIoDevices[8][0x30] = 0x01;
  Board board(config);
  // The key, a selection and a data write: a chip would take all of them.
  for (uint8_t v : {0x87, 0x87, 0x07}) {
    board.IoWrite(0x2E, 8, v);
  }
  board.IoWrite(0x2F, 8, 0x08);
  board.IoWrite(0x2E, 8, 0x30);
  EXPECT_EQ(board.IoRead(0x2F, 8), 0xFFU);
  EXPECT_EQ(board.IoRead(0x2E, 8), 0xFFU);
  board.IoWrite(0x2F, 8, 0x00);
  EXPECT_FALSE(board.Sio().InConfigMode());
  EXPECT_EQ(board.Sio().Selected(), 0);
  EXPECT_EQ(board.Sio().DeviceRegister(8, 0x30), 0x01);
}

TEST(Board, TimerIsSampledWhenTheReadBeginsAndFollowsTheControllerRegisters) {
  BoardConfig config = DecodingAt0x500();
  config.timerStart = 100;
  Board board(config);
  EXPECT_EQ(board.IoRead(0x508, 32), 100U);  // t = 0
  EXPECT_EQ(board.IoRead(0x508, 32), 103U);  // t = 1000 ns: 3.58 ticks
  board.MmioWrite(kAcpiFunction + 0x40, 16, 0x1800);
  EXPECT_EQ(board.IoRead(0x508, 32), 0xFFFFFFFFU);
  EXPECT_EQ(board.IoRead(0x1808, 32), 100U + 11U);  // t = 3100 ns
  board.MmioWrite(kAcpiFunction + 0x44, 8, 0x00);
  EXPECT_EQ(board.IoRead(0x1808, 32), 0xFFFFFFFFU);
}

TEST(Board, SmbusLinesShowDeliveredOrSentBytes) {
  BoardConfig config;
  config.smbusFailures = {{1, kEfiDeviceError}};
  Board board(config);
  std::vector<uint8_t> code{0xE9, 0x03};
  (void)board.SmbusExecute(0x6B, 19, kWrite, false, 2, code);
  (void)board.SmbusExecute(0x6B, 19, kWrite, false, 2, code);  // injected failure
  (void)board.SmbusExecute(0x6B, 0, kRead, false, 17, {});     // count register 8 is 0
  (void)board.SmbusExecute(0x6B, 19, kRead, false, 2, {});
  std::vector<Event> lines = board.Events().OfKind(EventKind::Smbus);
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[0].Data(), code);
  EXPECT_EQ(lines[1].Data(), code);
  EXPECT_EQ(lines[1].status, kEfiDeviceError);
  EXPECT_TRUE(lines[2].Data().empty());
  EXPECT_TRUE(lines[3].Data().empty());
  EXPECT_EQ(board.ClockGen().Code(), 0x3E9);
}

TEST(Board, UnendingPollIsStoppedAfterTheLimit) {
  struct Case {
    const char* name;
    BoardConfig config;
  };
  BoardConfig frozen = DecodingAt0x500();
  frozen.timerMode = TimerMode::Frozen;
  BoardConfig silent;  // decoding off: the timer port floats
  for (Case& c : std::vector<Case>{{"frozen", frozen}, {"not decoded", silent}}) {
    c.config.hangLimitNs = 1000000;
    Board board(c.config);
    int reads = 0;
    while (!board.Stopped() && reads < 100000) {
      (void)board.IoRead(0x508, 32);
      board.Pause();
      ++reads;
    }
    ASSERT_TRUE(board.Stopped()) << c.name;
    // Reads at 0, 1 us, ...: the one at 1,001 us is the first past the limit.
    EXPECT_EQ(reads, 1002) << c.name;
    EXPECT_EQ(board.Events()[board.Events().size() - 1].kind, EventKind::Hang);
    EXPECT_NE(board.StopReason().find("port 0x0508"), std::string::npos) << board.StopReason();

    size_t lines = board.Events().size();
    uint64_t now = board.Now();
    (void)board.IoRead(0x508, 32);
    board.IoWrite(0x80, 8, 1);
    board.IoWrite(0x2E, 8, 0x87);
    board.IoWrite(0x2E, 8, 0x87);
    EXPECT_FALSE(board.Sio().InConfigMode());
    EXPECT_EQ(board.SmbusExecute(0x6B, 8, kWrite, false, 1, std::vector<uint8_t>{1}).status,
              kEfiAborted);
    EXPECT_EQ(board.Events().size(), lines);
    EXPECT_EQ(board.Now(), now);
    EXPECT_TRUE(board.Post().Codes().empty());
  }
}

TEST(Board, EngineStopIsRecordedOnce) {
  Board board;
  board.IoWrite(0x80, 8, 0xC4);
  board.StopRun("wall-clock limit");
  board.StopRun("second stop");
  board.IoWrite(0x80, 8, 0xC8);
  ASSERT_TRUE(board.Stopped());
  EXPECT_EQ(board.StopReason(), "wall-clock limit");
  std::vector<Event> expected = {Event::Io(0, IoOp::Out, 0x80, 8, 0xC4),
                                 Event::Hang(1000, "wall-clock limit")};
  auto diff = FirstDifference(board.Events().Events(), expected);
  EXPECT_FALSE(diff) << *diff;
}

TEST(Board, AnyOtherAccessRestartsThePoll) {
  BoardConfig config;
  config.hangLimitNs = 10000;
  Board board(config);
  for (int i = 0; i < 100; ++i) {
    for (int j = 0; j < 5; ++j) {
      (void)board.IoRead(0x508, 32);
      board.Pause();
    }
    (void)board.IoRead(0x2F, 8);
  }
  EXPECT_FALSE(board.Stopped());
}

TEST(Board, StateReflectsTheDevices) {
  BoardConfig config;
  config.superIoDevices = {{0x0A, {{0xE7, 0x08}}}};
  Board board(config);
  for (uint8_t b : {0x87, 0x87, 0x07}) {
    board.IoWrite(0x2E, 8, b);
  }
  board.IoWrite(0x2F, 8, 0x08);
  for (auto [reg, value] : {std::pair{0x30, 0x01}, std::pair{0xF6, 0x01}}) {
    board.IoWrite(0x2E, 8, static_cast<uint32_t>(reg));
    board.IoWrite(0x2F, 8, static_cast<uint32_t>(value));
  }
  board.IoWrite(0x80, 8, 0xC4);
  board.MmioWrite(kAcpiFunction + 0x40, 16, 0x500);
  (void)board.SmbusExecute(0x6B, 8, kWrite, false, 1, std::vector<uint8_t>{1});

  Event state = board.StateEvent();
  ASSERT_EQ(state.kind, EventKind::State);
  const StateSnapshot& s = state.Snapshot();
  EXPECT_TRUE(s.guardArmed);
  EXPECT_EQ(s.superIoSelected, 8);
  EXPECT_EQ(s.superIoRegisters,
            (SuperIo::DeviceRegisters{{8, {{0x30, 1}, {0xF6, 1}}}, {0x0A, {{0xE7, 0x08}}}}));
  EXPECT_EQ(s.acpiBase, 0x500);
  EXPECT_EQ(s.acpiControl, 0);
  EXPECT_EQ(s.post, std::vector<uint8_t>{0xC4});
  EXPECT_EQ(s.clockGenerator[8], 1);
  EXPECT_EQ(s.clockGenerator[19], 0xE8);
  EXPECT_EQ(state.t, board.Now());
}

TEST(Board, DefaultConfigurationIsTheBuiltInBoard) {
  Board board;
  EXPECT_EQ(board.ClockGen().Code(), 1000);
  EXPECT_EQ(board.ClockGen().Register(1), 0x25);
  EXPECT_EQ(board.ClockGen().Register(3), 0x80);
  EXPECT_EQ(board.ClockGen().Register(6), 0xC0);
  const auto* setup = board.Variables().Find(kSetupName, guids::kSetupVariable);
  ASSERT_NE(setup, nullptr);
  ASSERT_EQ(setup->size(), 219U);
  EXPECT_EQ((*setup)[164] | ((*setup)[165] << 8), 1024);
  EXPECT_EQ((*setup)[166], 0xFF);
  EXPECT_EQ((*setup)[167], 50);
  const auto* pch =
      board.Variables().Find(kPchRcConfigurationName, guids::kPchRcConfigurationVariable);
  ASSERT_NE(pch, nullptr);
  ASSERT_EQ(pch->size(), 1378U);
  EXPECT_EQ((*pch)[1349], 5);
  EXPECT_FALSE(board.Pch().AcpiDecoding());
  EXPECT_EQ(board.PcdGet64(5), 0xE0000000U);
}

}  // namespace
}  // namespace board
