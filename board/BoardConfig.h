// Everything a scenario can set about the simulated board. A default
// constructed BoardConfig is the built-in default board.
#ifndef CLOCKRAMP_BOARD_BOARDCONFIG_H_
#define CLOCKRAMP_BOARD_BOARDCONFIG_H_

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "board/AcpiTimer.h"
#include "board/ClockGenerator.h"
#include "board/VariableStore.h"

namespace board {

// When the engine installs the SMBus2 PPI.
enum class SmbusPpiTiming : uint8_t { AfterEntry, BeforeEntry, Absent };

// Layout of the two variables the module reads.
namespace setup {
inline constexpr size_t kSize = 219;
inline constexpr size_t kRampTargetCodeOffset = 164;  // 16 bits, little-endian
inline constexpr size_t kRampLevelSelectOffset = 166;
inline constexpr size_t kRampStepDelayOffset = 167;
inline constexpr uint8_t kLevelAutomatic = 0xFF;
}  // namespace setup

namespace pchrc {
inline constexpr size_t kSize = 1378;
inline constexpr size_t kSelectorOffset = 1349;
}  // namespace pchrc

// The 219-byte "Setup" image with the three ramp fields set, other bytes 0.
std::vector<uint8_t> MakeSetup(uint16_t targetCode, uint8_t levelSelect, uint8_t stepDelayUs);
// The 1378-byte "PchRcConfiguration" image with the selector set, other bytes 0.
std::vector<uint8_t> MakePchRcConfiguration(uint8_t selector);
// Clock generator registers at a code: register 19, register 20 bits 2:0, the
// rest as the default board has them.
std::array<uint8_t, 256> MakeClockGeneratorRegisters(uint16_t code);

struct BoardConfig {
  // Clock generator (SMBus address 0x6B): code 1000, register 1 = 0x25,
  // register 3 = 0x80, register 6 = 0xC0, everything else 0.
  std::array<uint8_t, 256> clockGenerator = MakeClockGeneratorRegisters(1000);
  std::optional<uint8_t> reportedByteCount;  // fixed count reported in register 8
  std::vector<SmbusFailure> smbusFailures;
  // Registers whose reads fail (XX in a register dump); none by default.
  std::bitset<256> clockGeneratorUnreadable;

  // Variables (vendor GUIDs in board/Guid.h); nullopt: absent. GetVariable
  // answers the attributes with the data (NV + BS + RT unless set).
  std::optional<std::vector<uint8_t>> setup = MakeSetup(1024, setup::kLevelAutomatic, 50);
  std::optional<std::vector<uint8_t>> pchRcConfiguration = MakePchRcConfiguration(5);
  uint32_t setupAttributes = kDefaultVariableAttributes;
  uint32_t pchRcConfigurationAttributes = kDefaultVariableAttributes;

  // Platform controller: the configuration window and the ACPI registers at reset.
  uint64_t pcieBase = 0xE0000000;
  uint16_t acpiBase = 0;
  uint8_t acpiControl = 0;
  // What PCD token 5 answers; nullopt: pcieBase.
  std::optional<uint64_t> pcdPcieBase;

  // ACPI PM timer.
  uint32_t timerStart = 0;
  TimerMode timerMode = TimerMode::Running;
  uint64_t timerStopsAfterNs = 0;

  // Super I/O: selected logical device, global registers (< 0x30) and
  // logical-device registers (0x30 and up), all 0 unless set here. Without
  // the chip (superIoPresent false) nothing decodes ports 0x2E/0x2F: reads
  // float (0xFF) and writes go nowhere, as on a board that has none.
  bool superIoPresent = true;
  uint8_t superIoSelected = 0;
  std::map<uint8_t, uint8_t> superIoGlobal;
  std::map<uint8_t, std::map<uint8_t, uint8_t>> superIoDevices;

  // PEI Foundation.
  SmbusPpiTiming smbusPpi = SmbusPpiTiming::AfterEntry;
  bool variablePpi = true;
  bool pcdPpi = true;
  uint32_t notifyPpiStatus = 0;  // non-zero: NotifyPpi fails with it

  // A poll of one location that spans more than this is a hang.
  uint64_t hangLimitNs = 100'000'000;  // 100 ms: the longest wait the ramp makes is 255 µs

  // Real time an engine gives the whole run before it stops it as a hang
  // (0: no limit). The longest ramp takes about 20 ms natively, 0.5 s on the
  // IA-32 engine and a few seconds under QEMU.
  uint64_t wallClockLimitMs = 60'000;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_BOARDCONFIG_H_
