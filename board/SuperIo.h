// The Super I/O chip's configuration interface at ports 0x2E (index) and
// 0x2F (data), 8-bit accesses only.
//
// Two consecutive 0x87 writes to the index port enter configuration mode
// (any other index write, or a data-port access, in between starts the key
// over); 0xAA written to the index port leaves it. Inside, an index write
// selects a register: 0x07 selects the logical device (kept across leave and
// enter), registers 0x30 and up belong to the selected logical device,
// registers below 0x30 are global. Outside configuration mode data-port
// writes are ignored and reads return 0xFF.
#ifndef CLOCKRAMP_BOARD_SUPERIO_H_
#define CLOCKRAMP_BOARD_SUPERIO_H_

#include <array>
#include <cstdint>
#include <map>

namespace board {

class SuperIo {
 public:
  static constexpr uint16_t kIndexPort = 0x2E;
  static constexpr uint16_t kDataPort = 0x2F;
  static constexpr uint8_t kEnterKey = 0x87;
  static constexpr uint8_t kExitKey = 0xAA;
  static constexpr uint8_t kLogicalDeviceRegister = 0x07;
  static constexpr uint8_t kFirstDeviceRegister = 0x30;

  // Logical device -> register (0x30 and up) -> value; unset registers read 0.
  using DeviceRegisters = std::map<uint8_t, std::map<uint8_t, uint8_t>>;

  SuperIo() = default;
  SuperIo(uint8_t selected, const std::map<uint8_t, uint8_t>& global,
          const DeviceRegisters& devices);

  [[nodiscard]] static bool Decodes(uint16_t port) {
    return port == kIndexPort || port == kDataPort;
  }
  void Write(uint16_t port, uint8_t value);
  uint8_t Read(uint16_t port);

  [[nodiscard]] bool InConfigMode() const { return mode_ == Mode::Config; }
  [[nodiscard]] uint8_t Selected() const { return selected_; }
  [[nodiscard]] uint8_t Global(uint8_t reg) const { return global_[reg]; }
  [[nodiscard]] uint8_t DeviceRegister(uint8_t device, uint8_t reg) const;
  // Every logical-device register that was configured or written.
  [[nodiscard]] const DeviceRegisters& TouchedRegisters() const { return devices_; }

  // Device 8 register 0x30 bit 0, device 0x0A register 0xE7 bit 3 and a
  // non-zero device 8 register 0xF6, all at once.
  [[nodiscard]] bool GuardArmed() const;

 private:
  enum class Mode { Locked, FirstKey, Config };

  void WriteIndex(uint8_t value);
  void WriteData(uint8_t value);
  [[nodiscard]] uint8_t ReadData() const;

  Mode mode_ = Mode::Locked;
  uint8_t index_ = 0;
  uint8_t selected_ = 0;
  std::array<uint8_t, kFirstDeviceRegister> global_{};
  DeviceRegisters devices_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_SUPERIO_H_
