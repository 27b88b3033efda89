#include "board/SuperIo.h"

#include <utility>

namespace board {

SuperIo::SuperIo(uint8_t selected, const std::map<uint8_t, uint8_t>& global,
                 const DeviceRegisters& devices)
    : selected_(selected) {
  for (const auto& [reg, value] : global) {
    if (reg < kFirstDeviceRegister) {
      global_[reg] = value;
    }
  }
  for (const auto& [device, regs] : devices) {
    for (const auto& [reg, value] : regs) {
      if (reg >= kFirstDeviceRegister) {
        devices_[device][reg] = value;
      }
    }
  }
}

void SuperIo::Write(uint16_t port, uint8_t value) {
  if (port == kIndexPort) {
    WriteIndex(value);
  } else if (port == kDataPort) {
    WriteData(value);
  }
}

uint8_t SuperIo::Read(uint16_t port) {
  if (port != kDataPort) {
    return port == kIndexPort && InConfigMode() ? index_ : 0xFF;
  }
  if (mode_ == Mode::FirstKey) {
    mode_ = Mode::Locked;
  }
  return ReadData();
}

uint8_t SuperIo::DeviceRegister(uint8_t device, uint8_t reg) const {
  auto dev = devices_.find(device);
  if (dev == devices_.end()) {
    return 0;
  }
  auto it = dev->second.find(reg);
  return it == dev->second.end() ? 0 : it->second;
}

bool SuperIo::GuardArmed() const {
  return (DeviceRegister(0x08, 0x30) & 0x01) != 0 && (DeviceRegister(0x0A, 0xE7) & 0x08) != 0 &&
         DeviceRegister(0x08, 0xF6) != 0;
}

// Index port: the entry key sequence, the exit key, or a register selection.
void SuperIo::WriteIndex(uint8_t value) {
  switch (mode_) {
    case Mode::Locked:
      mode_ = value == kEnterKey ? Mode::FirstKey : Mode::Locked;
      break;
    case Mode::FirstKey:
      mode_ = value == kEnterKey ? Mode::Config : Mode::Locked;
      break;
    case Mode::Config:
      if (value == kExitKey) {
        mode_ = Mode::Locked;
      } else {
        index_ = value;
      }
      break;
  }
}

// Data port: writes the selected register while in configuration mode.
void SuperIo::WriteData(uint8_t value) {
  if (mode_ != Mode::Config) {
    mode_ = Mode::Locked;
    return;
  }
  if (index_ == kLogicalDeviceRegister) {
    selected_ = value;
  } else if (index_ < kFirstDeviceRegister) {
    global_[index_] = value;
  } else {
    devices_[selected_][index_] = value;
  }
}

uint8_t SuperIo::ReadData() const {
  if (mode_ != Mode::Config) {
    return 0xFF;
  }
  if (index_ == kLogicalDeviceRegister) {
    return selected_;
  }
  return index_ < kFirstDeviceRegister ? global_[index_] : DeviceRegister(selected_, index_);
}

}  // namespace board
