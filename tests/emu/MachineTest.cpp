// The emulated machine on hand-assembled guest code: device accesses reach the
// bus with their widths, stubs see cdecl arguments and set results, nested
// calls return through their stub, and faults, stops and time-outs end a call
// the way they should.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "emu/Machine.h"

namespace {

using emu::CallEnd;
using emu::Machine;

struct Access {
  char kind;  // 'i' port in, 'o' port out, 'r' MMIO read, 'w' MMIO write
  uint64_t address;
  unsigned width;
  uint32_t value;
  bool operator==(const Access&) const = default;
};

class RecordingBus : public board::HostBus {
 public:
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override {
    log.push_back({'o', port, width, value});
  }
  uint32_t IoRead(uint16_t port, unsigned width) override {
    ++reads;
    log.push_back({'i', port, width, io_value});
    if (stop_after != 0 && reads >= stop_after) {
      MarkStopped();
    }
    return io_value;
  }
  void MmioWrite(uint64_t address, unsigned width, uint32_t value) override {
    log.push_back({'w', address, width, value});
  }
  uint32_t MmioRead(uint64_t address, unsigned width) override {
    log.push_back({'r', address, width, mmio_value});
    return mmio_value;
  }
  uint64_t ReadIdtr(uint16_t& limit) override {
    limit = 0;
    return 0;
  }
  void Pause() override {}

  std::vector<Access> log;
  uint32_t io_value = 0x00ABCDEF;
  uint32_t mmio_value = 0x5A;
  unsigned reads = 0;
  unsigned stop_after = 0;
};

constexpr uint32_t kCode = emu::memmap::kDefaultLoadAddress;
constexpr uint32_t kPcieBase = 0xE0000000;

void Put32(std::vector<uint8_t>& code, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    code.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

class MachineTest : public ::testing::Test {
 protected:
  Machine& Make(Machine::Options options = {}) {
    options.mmio_windows = {{kPcieBase, 0x10000000}};
    machine_ = std::make_unique<Machine>(bus_, options);
    return *machine_;
  }
  void Load(uint32_t address, const std::vector<uint8_t>& code) {
    machine_->engine().Write(address, code);
  }

  RecordingBus bus_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(MachineTest, PortAndMmioAccessesReachTheBusWithTheirWidths) {
  Machine& m = Make();
  std::vector<uint8_t> code = {0xB0, 0xC4, 0xE6, 0x80,  // mov al,0xC4 ; out 0x80,al
                               0x66, 0xBA, 0x08, 0x05,  // mov dx,0x508
                               0xED,                    // in eax,dx
                               0x89, 0xC3,              // mov ebx,eax
                               0x66, 0xA3};             // mov [moffs],ax
  Put32(code, kPcieBase + 0xFA040);
  code.push_back(0xA0);  // mov al,[moffs]
  Put32(code, kPcieBase + 0xFA044);
  code.insert(code.end(), {0x89, 0xD8, 0xC3});  // mov eax,ebx ; ret
  Load(kCode, code);

  emu::CallResult result = m.Call(kCode, {});
  ASSERT_EQ(result.end, CallEnd::kReturned) << (m.fault() ? m.fault()->what : "");
  EXPECT_EQ(result.eax, bus_.io_value);
  const std::vector<Access> expected = {
      {'o', 0x80, 8, 0xC4},
      {'i', 0x508, 32, bus_.io_value},
      {'w', kPcieBase + 0xFA040, 16, bus_.io_value & 0xFFFF},
      {'r', kPcieBase + 0xFA044, 8, bus_.mmio_value},
  };
  EXPECT_EQ(bus_.log, expected);
  EXPECT_EQ(m.step_marks().size(), 1U);
}

TEST_F(MachineTest, StubSeesCdeclArgumentsAndSetsTheResult) {
  Machine& m = Make();
  std::vector<uint32_t> seen;
  uint32_t stub = m.AddStub("Sum", [&](Machine& mm) {
    seen = {mm.Arg(0), mm.Arg(1), mm.Arg(2)};
    mm.SetResult(mm.Arg(0) + mm.Arg(1) + mm.Arg(2), 0x77);
  });
  std::vector<uint8_t> code = {0x6A, 0x03, 0x6A, 0x02, 0x6A, 0x01, 0xB8};  // push 3,2,1 ; mov eax,
  Put32(code, stub);
  code.insert(code.end(), {0xFF, 0xD0, 0x83, 0xC4, 0x0C, 0xC3});  // call eax ; add esp,12 ; ret
  Load(kCode, code);

  emu::CallResult result = m.Call(kCode, {});
  ASSERT_EQ(result.end, CallEnd::kReturned);
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(result.eax, 6U);
  EXPECT_EQ(result.edx, 0x77U);
}

TEST_F(MachineTest, StackHighWaterCountsFromTheStackTop) {
  Machine& m = Make();
  // sub esp,0x100 ; mov byte [esp],1 ; add esp,0x100 ; ret
  Load(kCode, {0x81, 0xEC, 0x00, 0x01, 0x00, 0x00, 0xC6, 0x04, 0x24, 0x01, 0x81, 0xC4, 0x00, 0x01,
               0x00, 0x00, 0xC3});
  emu::CallResult result = m.Call(kCode, {7, 8});
  ASSERT_EQ(result.end, CallEnd::kReturned);
  // Two arguments and the return address, then 0x100 bytes below them.
  EXPECT_EQ(result.stack_bytes, 12U + 0x100U);
}

TEST_F(MachineTest, InstructionsAndPausesAreCountedWhileMeasuring) {
  Machine& m = Make();
  // mov ecx,3 ; l: pause ; dec ecx ; jnz l ; ret
  Load(kCode, {0xB9, 0x03, 0x00, 0x00, 0x00, 0xF3, 0x90, 0x49, 0x75, 0xFB, 0xC3});
  emu::CallResult result = m.Call(kCode, {});
  ASSERT_EQ(result.end, CallEnd::kReturned);
  EXPECT_EQ(result.instructions, 1U + 3 * 3 + 1);
  EXPECT_EQ(result.pauses, 3U);
}

TEST_F(MachineTest, StubWritesOnlyIntoGuestRam) {
  Machine& m = Make();
  bool stack_ok = false;
  uint32_t stub = m.AddStub("Out", [&](Machine& mm) {
    uint32_t on_stack = mm.Arg(0);
    uint32_t in_flash = mm.Arg(1);
    stack_ok = mm.WriteGuest32(on_stack, 0x11223344, "an out-parameter");
    mm.WriteGuest32(in_flash, 0x55667788, "an out-parameter");
  });
  // push 0xFFF81100 ; push esp ; mov eax,stub ; call eax ; add esp,8 ; ret
  std::vector<uint8_t> code = {0x68, 0x00, 0x11, 0xF8, 0xFF, 0x54, 0xB8};
  Put32(code, stub);
  code.insert(code.end(), {0xFF, 0xD0, 0x83, 0xC4, 0x08, 0xC3});
  Load(kCode, code);
  EXPECT_EQ(m.Call(kCode, {}).end, CallEnd::kFault);
  EXPECT_TRUE(stack_ok);
  ASSERT_TRUE(m.fault().has_value());
  EXPECT_NE(m.fault()->what.find("0xFFF81100"), std::string::npos) << m.fault()->what;
  EXPECT_EQ(m.engine().Read32(0xFFF81100), 0xFFFFFFFFU);
}

TEST(MachineWindows, PciExpressWindowKeepsClearOfTheFixedRegions) {
  using Windows = std::vector<std::pair<uint32_t, uint32_t>>;
  struct Case {
    uint64_t base, size;
    Windows expected;
  };
  const Case cases[] = {
      {0xE0000000, 0x10000000, {{0xE0000000, 0x10000000}}},
      {0xE0000123, 0x1000, {{0xE0000000, 0x2000}}},          // page-aligned outwards
      {0xF8000000, 0x10000000, {{0xF8000000, 0x07F00000}}},  // stops at the flash
      {0x00000000,
       0x10000000,
       {{0x00000000, 0x00100000}, {0x00103000, 0x000FD000}, {0x00210000, 0x0FDF0000}}},
      {0xFFF80000, 0x1000, {}},  // inside the flash: nothing
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Machine::ClearWindows(c.base, c.size), c.expected) << std::hex << c.base;
  }
}

// Each of these stops the call with a fault whose description names the address.
struct FaultCase {
  const char* name;
  std::vector<uint8_t> code;
  std::string expected;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class MachineFaultTest : public MachineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MachineFaultTest, StopsWithAFaultNamingTheAddress) {
  Machine& m = Make();
  Load(kCode, GetParam().code);
  emu::CallResult result = m.Call(kCode, {});
  EXPECT_EQ(result.end, CallEnd::kFault);
  ASSERT_TRUE(m.fault().has_value());
  EXPECT_NE(m.fault()->what.find(GetParam().expected), std::string::npos) << m.fault()->what;
  EXPECT_TRUE(bus_.log.empty()) << "the board saw " << bus_.log.size() << " access(es)";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MachineFaultTest,
    ::testing::Values(
        // mov [0xFFF81100],eax
        FaultCase{"WriteIntoFlash", {0xA3, 0x00, 0x11, 0xF8, 0xFF, 0xC3}, "0xFFF81100"},
        // mov eax,[0x00000010]
        FaultCase{"NullRead", {0xA1, 0x10, 0x00, 0x00, 0x00, 0xC3}, "0x00000010"},
        // mov [0x00100010],eax: Foundation data is read-only to the guest
        FaultCase{"WriteFoundationData", {0xA3, 0x10, 0x00, 0x10, 0x00, 0xC3}, "0x00100010"},
        // jmp to 0x00300000 (unmapped)
        FaultCase{"WildJump", {0xB8, 0x00, 0x00, 0x30, 0x00, 0xFF, 0xE0}, "0x00300000"},
        // ud2
        FaultCase{"InvalidInstruction", {0x0F, 0x0B}, "0xFFF81020"},
        // mov [0xE00FA041],ax: a misaligned MMIO write would be split in two
        FaultCase{"MisalignedMmioWrite", {0x66, 0xA3, 0x41, 0xA0, 0x0F, 0xE0, 0xC3}, "0xE00FA041"},
        // mov eax,[0xE00FA043]: a misaligned MMIO read would be widened
        FaultCase{"MisalignedMmioRead", {0xA1, 0x43, 0xA0, 0x0F, 0xE0, 0xC3}, "0xE00FA043"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(MachineTest, UnexpectedStubFaultsNamingTheService) {
  Machine& m = Make();
  uint32_t stub = m.AddUnexpectedStub("GetBootMode");
  std::vector<uint8_t> code = {0xB8};
  Put32(code, stub);
  code.insert(code.end(), {0xFF, 0xD0, 0xC3});
  Load(kCode, code);
  EXPECT_EQ(m.Call(kCode, {}).end, CallEnd::kFault);
  ASSERT_TRUE(m.fault().has_value());
  EXPECT_NE(m.fault()->what.find("GetBootMode"), std::string::npos);
}

TEST_F(MachineTest, BoardStopEndsTheCallWithNoFurtherAccess) {
  Machine& m = Make();
  bus_.stop_after = 5;
  // mov dx,0x508 ; l: in eax,dx ; in eax,dx ; jmp l
  Load(kCode, {0x66, 0xBA, 0x08, 0x05, 0xED, 0xED, 0xEB, 0xFC});
  EXPECT_EQ(m.Call(kCode, {}).end, CallEnd::kStopped);
  EXPECT_EQ(bus_.reads, 5U);
  EXPECT_FALSE(m.fault().has_value());
}

TEST_F(MachineTest, WallClockLimitEndsASpinningCall) {
  Machine::Options options;
  options.measure = false;
  Machine& m = Make(options);
  Load(kCode, {0xEB, 0xFE});  // jmp $
  EXPECT_EQ(m.Call(kCode, {}, 20000).end, CallEnd::kTimeout);
}

}  // namespace
