// The platform controller's ACPI function (PCI bus 0, device 31, function 2)
// in memory-mapped PCI Express configuration space.
//
// The window covers 256 buses (256 MiB) from the configured base. In the
// function's 4 KiB: register 0x40 is the 16-bit ACPI I/O base, register 0x44
// holds the decode enable in bit 7; every other register reads 0 and ignores
// writes. Accesses are taken byte by byte, so 8-, 16- and 32-bit accesses all
// work (a 16-bit access at 0x40 is the whole base). Any other function in the
// window, and anything outside it, reads all ones and ignores writes.
#ifndef CLOCKRAMP_BOARD_PLATFORMCONTROLLER_H_
#define CLOCKRAMP_BOARD_PLATFORMCONTROLLER_H_

#include <cstdint>

namespace board {

class PlatformController {
 public:
  static constexpr uint64_t kWindowSize = 0x10000000;
  static constexpr uint64_t kFunctionOffset = 0xFA000;  // bus 0, device 31, function 2
  static constexpr uint64_t kFunctionSize = 0x1000;
  static constexpr uint16_t kAcpiBaseRegister = 0x40;
  static constexpr uint16_t kAcpiControlRegister = 0x44;
  static constexpr uint8_t kDecodeEnable = 0x80;

  explicit PlatformController(uint64_t pcieBase = 0xE0000000, uint16_t acpiBase = 0,
                              uint8_t acpiControl = 0)
      : pcieBase_(pcieBase), acpiBase_(acpiBase), acpiControl_(acpiControl) {}

  // A read of `width` bits (8, 16 or 32) at a physical address.
  [[nodiscard]] uint32_t Read(uint64_t address, unsigned width) const;
  void Write(uint64_t address, unsigned width, uint32_t value);

  [[nodiscard]] uint16_t AcpiBase() const { return acpiBase_; }
  [[nodiscard]] uint8_t AcpiControl() const { return acpiControl_; }
  [[nodiscard]] bool AcpiDecoding() const { return (acpiControl_ & kDecodeEnable) != 0; }
  [[nodiscard]] uint64_t PcieBase() const { return pcieBase_; }

 private:
  [[nodiscard]] uint8_t ReadByte(uint64_t address) const;
  void WriteByte(uint64_t address, uint8_t value);
  // Offset within the ACPI function, or -1 when the address is not in it.
  [[nodiscard]] int64_t FunctionOffset(uint64_t address) const;
  [[nodiscard]] bool InWindow(uint64_t address) const;

  uint64_t pcieBase_;
  uint16_t acpiBase_;
  uint8_t acpiControl_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_PLATFORMCONTROLLER_H_
