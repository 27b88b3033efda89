#include "board/PlatformController.h"

namespace board {

uint32_t PlatformController::Read(uint64_t address, unsigned width) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < width / 8; ++i) {
    value |= static_cast<uint32_t>(ReadByte(address + i)) << (8 * i);
  }
  return value;
}

void PlatformController::Write(uint64_t address, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i) {
    WriteByte(address + i, static_cast<uint8_t>(value >> (8 * i)));
  }
}

bool PlatformController::InWindow(uint64_t address) const {
  return address >= pcieBase_ && address - pcieBase_ < kWindowSize;
}

int64_t PlatformController::FunctionOffset(uint64_t address) const {
  if (!InWindow(address)) {
    return -1;
  }
  uint64_t offset = address - pcieBase_;
  if (offset < kFunctionOffset || offset >= kFunctionOffset + kFunctionSize) {
    return -1;
  }
  return static_cast<int64_t>(offset - kFunctionOffset);
}

uint8_t PlatformController::ReadByte(uint64_t address) const {
  switch (FunctionOffset(address)) {
    case -1:
      return 0xFF;
    case kAcpiBaseRegister:
      return static_cast<uint8_t>(acpiBase_);
    case kAcpiBaseRegister + 1:
      return static_cast<uint8_t>(acpiBase_ >> 8);
    case kAcpiControlRegister:
      return acpiControl_;
    default:
      return 0;
  }
}

void PlatformController::WriteByte(uint64_t address, uint8_t value) {
  switch (FunctionOffset(address)) {
    case kAcpiBaseRegister:
      acpiBase_ = static_cast<uint16_t>((acpiBase_ & 0xFF00) | value);
      break;
    case kAcpiBaseRegister + 1:
      acpiBase_ = static_cast<uint16_t>((acpiBase_ & 0x00FF) | (value << 8));
      break;
    case kAcpiControlRegister:
      acpiControl_ = value;
      break;
    default:
      break;
  }
}

}  // namespace board
