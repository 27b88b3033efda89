#include "board/Board.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "board/Status.h"

namespace board {
namespace {

// All ones of a width in bits.
uint32_t AllOnes(unsigned width) { return width >= 32 ? 0xFFFFFFFFU : (1U << width) - 1U; }

// "port 0x0508" or "address 0xE00FA044".
std::string LocationName(bool io, uint64_t location) {
  char text[40];
  std::snprintf(text, sizeof text, io ? "port 0x%04llX" : "address 0x%08llX",
                static_cast<unsigned long long>(location));
  return text;
}

}  // namespace

uint64_t SmbusWriteLength(uint8_t operation, uint64_t length) {
  switch (static_cast<SmbusOperation>(operation)) {
    case SmbusOperation::WriteByte:
      return 1;
    case SmbusOperation::WriteWord:
    case SmbusOperation::ProcessCall:
      return 2;
    case SmbusOperation::WriteBlock:
    case SmbusOperation::BWBRProcessCall:
      return std::min(length, ClockGenerator::kMaxBlockLength);
    default:
      return 0;
  }
}

Board::Board(const BoardConfig& config, EventSink* sink)
    : config_(config),
      sink_(sink),
      clockGen_(config.clockGenerator, config.reportedByteCount, config.smbusFailures,
                config.clockGeneratorUnreadable),
      sio_(config.superIoSelected, config.superIoGlobal, config.superIoDevices),
      pch_(config.pcieBase, config.acpiBase, config.acpiControl),
      timer_(config.timerStart, config.timerMode, config.timerStopsAfterNs),
      pcd_(config.pcdPcieBase.value_or(config.pcieBase)) {
  if (config.setup) {
    variables_.Set(std::u16string(kSetupName), guids::kSetupVariable, *config.setup,
                   config.setupAttributes);
  }
  if (config.pchRcConfiguration) {
    variables_.Set(std::u16string(kPchRcConfigurationName), guids::kPchRcConfigurationVariable,
                   *config.pchRcConfiguration, config.pchRcConfigurationAttributes);
  }
  foundation_.SetNotifyFailure(config.notifyPpiStatus);
}

// ---- HostBus ----

void Board::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  if (Stopped()) {
    return;
  }
  value &= AllOnes(width);
  Record(Event::Io(clock_.Now(), IoOp::Out, port, width, value));
  WritePort(port, width, value);
  clock_.Advance(cost::kIoAccessNs);
  BreakPoll();
}

uint32_t Board::IoRead(uint16_t port, unsigned width) {
  if (Stopped()) {
    return AllOnes(width);  // a Super I/O read would move its key state
  }
  uint64_t t = clock_.Now();
  uint32_t value = PortValue(port, width, t) & AllOnes(width);
  Record(Event::Io(t, IoOp::In, port, width, value));
  clock_.Advance(cost::kIoAccessNs);
  WatchRead(true, port, t);
  return value;
}

void Board::MmioWrite(uint64_t address, unsigned width, uint32_t value) {
  if (Stopped()) {
    return;
  }
  value &= AllOnes(width);
  Record(Event::Mmio(clock_.Now(), MmioOp::Write, address, width, value));
  pch_.Write(address, width, value);
  clock_.Advance(cost::kMmioAccessNs);
  BreakPoll();
}

uint32_t Board::MmioRead(uint64_t address, unsigned width) {
  uint64_t t = clock_.Now();
  uint32_t value = pch_.Read(address, width) & AllOnes(width);
  if (Stopped()) {
    return value;
  }
  Record(Event::Mmio(t, MmioOp::Read, address, width, value));
  clock_.Advance(cost::kMmioAccessNs);
  WatchRead(false, address, t);
  return value;
}

uint64_t Board::ReadIdtr(uint16_t& limit) {
  limit = idtLimit_;
  if (!Stopped()) {
    Record(Event::Cpu(clock_.Now(), CpuOp::Sidt));
    BreakPoll();
  }
  return idtBase_;
}

void Board::Pause() {
  if (!Stopped()) {
    Record(Event::Cpu(clock_.Now(), CpuOp::Pause));
  }
}

// Fixed devices first (Super I/O, then the timer at the ACPI base); the rest floats.
uint32_t Board::PortValue(uint16_t port, unsigned width, uint64_t t) {
  if (config_.superIoPresent && width == 8 && SuperIo::Decodes(port)) {
    return sio_.Read(port);
  }
  if (TimerDecodes(port, width)) {
    return timer_.ValueAt(t);
  }
  return AllOnes(width);
}

void Board::WritePort(uint16_t port, unsigned width, uint32_t value) {
  if (port == PostPort::kPort) {
    post_.Write(static_cast<uint8_t>(value));
  } else if (config_.superIoPresent && width == 8 && SuperIo::Decodes(port)) {
    sio_.Write(port, static_cast<uint8_t>(value));
  }
}

bool Board::TimerDecodes(uint16_t port, unsigned width) const {
  return width == 32 && pch_.AcpiDecoding() &&
         port == static_cast<uint16_t>(pch_.AcpiBase() + AcpiTimer::kPortOffset);
}

// Extends or restarts the current poll; stops the run once it spans too long.
void Board::WatchRead(bool io, uint64_t location, uint64_t t) {
  if (!poll_.active || poll_.io != io || poll_.location != location) {
    poll_ = Poll{true, io, location, t};
    return;
  }
  uint64_t span = t - poll_.since;
  if (span > config_.hangLimitNs) {
    StopRun("no progress: " + LocationName(io, location) + " read repeatedly for " +
            std::to_string(span) + " ns (limit " + std::to_string(config_.hangLimitNs) + " ns)");
  }
}

void Board::SetWallClockLimit(uint64_t limitMs) {
  wallClockLimitMs_ = limitMs;
  wallClockDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  untilWallClockCheck_ = kWallClockCheckEvents;
}

void Board::CheckWallClock() {
  untilWallClockCheck_ = kWallClockCheckEvents;
  if (wallClockLimitMs_ == 0 || Stopped() ||
      std::chrono::steady_clock::now() < wallClockDeadline_) {
    return;
  }
  wallClockExpired_ = true;
  StopRun(wallClockLimitMs_ % 1000 == 0
              ? "wall-clock limit of " + std::to_string(wallClockLimitMs_ / 1000) + " s reached"
              : "wall-clock limit of " + std::to_string(wallClockLimitMs_) + " ms reached");
}

void Board::StopRun(std::string reason) {
  if (Stopped()) {
    return;
  }
  Record(Event::Hang(clock_.Now(), reason));
  stopReason_ = std::move(reason);
  MarkStopped();
}

// ---- Engine set-up ----

void Board::SetIdtr(uint64_t base, uint16_t limit) {
  idtBase_ = base;
  idtLimit_ = limit;
}

void Board::InstallPpi(const Guid& guid, uint64_t descriptor, uint64_t interface) {
  foundation_.InstallPpi(PpiEntry{guid, descriptor, interface});
}

// ---- PEI services and PPIs ----

LocateResult Board::LocatePpi(const Guid& guid, uint64_t instance) {
  auto found = foundation_.LocatePpi(guid, instance);
  LocateResult result{kEfiNotFound, 0, 0};
  if (found) {
    result = {kEfiSuccess, found->descriptor, found->interface};
  }
  if (!Stopped()) {
    Record(Event::LocatePpi(clock_.Now(), guid, instance, result.status));
    BreakPoll();
  }
  return result;
}

uint32_t Board::NotifyPpi(std::span<const NotifyEntry> list) {
  if (Stopped()) {
    return kEfiAborted;
  }
  uint32_t status = foundation_.NotifyPpi(list);
  Record(Event::NotifyPpi(clock_.Now(), status));
  BreakPoll();
  return status;
}

VariableResult Board::GetVariable(std::u16string_view name, const Guid& guid, uint64_t bufferSize) {
  VariableResult result = variables_.Get(name, guid, bufferSize);
  if (!Stopped()) {
    Record(Event::GetVariable(clock_.Now(), ToUtf8(name), guid, bufferSize, result.status,
                              result.dataSize));
    BreakPoll();
  }
  return result;
}

SmbusResult Board::SmbusExecute(uint64_t address, uint64_t command, uint8_t operation,
                                bool pecCheck, uint64_t length,
                                std::span<const uint8_t> writeData) {
  (void)pecCheck;  // the clock generator neither sends nor checks a PEC byte
  if (Stopped()) {
    return SmbusResult{kEfiAborted, length, {}, 0};
  }
  uint64_t t = clock_.Now();
  SmbusResult result = clockGen_.Execute(address, command, operation, length, writeData);
  bool writes = SmbusWriteLength(operation, length) != 0;
  std::vector<uint8_t> shown =
      writes ? std::vector<uint8_t>(writeData.begin(), writeData.end()) : result.data;
  Record(Event::Smbus(t, operation, address, command, length, std::move(shown), result.status));
  clock_.Advance(result.busBits * cost::kSmbusBitNs);
  BreakPoll();
  return result;
}

uint64_t Board::PcdGet64(uint64_t token) {
  uint64_t value = pcd_.Get64(token);
  if (!Stopped()) {
    Record(Event::Pcd(clock_.Now(), token, value));
    BreakPoll();
  }
  return value;
}

uint32_t Board::UnmodelledPeiCall(PeiCall call, uint32_t status) {
  if (!Stopped()) {
    Record(Event::OtherPei(clock_.Now(), call, status));
    BreakPoll();
  }
  return status;
}

void Board::RecordCall(Function fn) {
  if (!Stopped()) {
    Record(Event::Call(clock_.Now(), fn));
  }
}

void Board::RecordReturn(Function fn, uint32_t status) {
  if (!Stopped()) {
    Record(Event::Return(clock_.Now(), fn, status));
  }
}

// ---- State ----

StateSnapshot Board::State() const {
  StateSnapshot s;
  s.clockGenerator = clockGen_.Registers();
  s.guardArmed = sio_.GuardArmed();
  s.superIoSelected = sio_.Selected();
  s.superIoRegisters = sio_.TouchedRegisters();
  s.acpiBase = pch_.AcpiBase();
  s.acpiControl = pch_.AcpiControl();
  s.post = post_.Codes();
  return s;
}

Event Board::StateEvent() const { return Event::State(clock_.Now(), State()); }

}  // namespace board
