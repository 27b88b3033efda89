#include "board/ClockGenerator.h"

#include <algorithm>

#include "board/Status.h"
#include "board/VirtualClock.h"

namespace board {
namespace {

// A failed transaction: nothing transferred, Length unchanged.
SmbusResult Failed(uint32_t status, uint64_t length) {
  return SmbusResult{status, length, {}, cost::kSmbusFailedBits};
}

}  // namespace

ClockGenerator::ClockGenerator(const std::array<uint8_t, 256>& registers,
                               std::optional<uint8_t> reportedCount,
                               std::vector<SmbusFailure> failures)
    : registers_(registers), reportedCount_(reportedCount), failures_(std::move(failures)) {}

uint8_t ClockGenerator::ReadBack(uint8_t reg) const {
  if (reg == kByteCountRegister && reportedCount_) {
    return *reportedCount_;
  }
  return registers_[reg];
}

uint16_t ClockGenerator::Code() const {
  return static_cast<uint16_t>(((registers_[kCodeHighRegister] & 0x07) << 8) |
                               registers_[kCodeLowRegister]);
}

std::optional<uint32_t> ClockGenerator::InjectedFailure(uint64_t index) const {
  for (const SmbusFailure& f : failures_) {
    if (f.transaction == index) {
      return f.status;
    }
  }
  return std::nullopt;
}

SmbusResult ClockGenerator::Execute(uint64_t address, uint64_t command, uint8_t operation,
                                    uint64_t length, std::span<const uint8_t> writeData) {
  uint64_t index = transactions_++;
  std::optional<uint32_t> injected = InjectedFailure(index);
  if (injected && IsError(*injected)) {
    return Failed(*injected, length);
  }
  SmbusResult result = Perform(address, command, operation, length, writeData);
  if (injected && result.status == kEfiSuccess) {
    result.status = *injected;  // carried out, then answered with the warning
  }
  return result;
}

SmbusResult ClockGenerator::Perform(uint64_t address, uint64_t command, uint8_t operation,
                                    uint64_t length, std::span<const uint8_t> writeData) {
  if (address != kAddress) {
    return Failed(kEfiDeviceError, length);
  }
  auto op = static_cast<SmbusOperation>(operation);
  if (op != SmbusOperation::WriteBlock && op != SmbusOperation::ReadBlock) {
    return Failed(kEfiUnsupported, length);
  }
  if (command > 0xFF || length > kMaxBlockLength) {
    return Failed(kEfiInvalidParameter, length);
  }
  auto reg = static_cast<uint8_t>(command);
  return op == SmbusOperation::WriteBlock ? WriteBlock(reg, length, writeData)
                                          : ReadBlock(reg, length);
}

SmbusResult ClockGenerator::WriteBlock(uint8_t command, uint64_t length,
                                       std::span<const uint8_t> bytes) {
  size_t count = std::min<size_t>(length, bytes.size());
  for (size_t i = 0; i < count; ++i) {
    registers_[static_cast<uint8_t>(command + i)] = bytes[i];
  }
  return SmbusResult{kEfiSuccess, length, {}, cost::SmbusBlockWriteBits(length)};
}

SmbusResult ClockGenerator::ReadBlock(uint8_t command, uint64_t length) const {
  uint64_t count = std::min<uint64_t>(length, ReadBack(kByteCountRegister));
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; ++i) {
    data[i] = ReadBack(static_cast<uint8_t>(command + i));
  }
  return SmbusResult{kEfiSuccess, count, std::move(data), cost::SmbusBlockReadBits(count)};
}

}  // namespace board
