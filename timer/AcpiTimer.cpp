/** @file
  ACPI I/O space enabling and ACPI PM timer delays.
**/
#include "timer/AcpiTimer.h"

#include "pei/PeiAccess.h"
#include "pei/Platform.h"

namespace {

const UINT32 kPieceTicks = 0x400000;  // 2^22 ticks, one whole piece
const UINT32 kPieceShift = 22;
const UINT32 kPastTargetBit = 0x800000;  // bit 23 of (Target - reading)
const UINT32 kMicrosecondsPerSecond = 1000000;

}  // namespace

void EnableAcpiIoSpace(void) {
  UINT8 Control = PciCfgRead8(PMC_BUS, PMC_DEVICE, PMC_FUNCTION, PMC_ACPI_CONTROL_REG);
  if ((Control & PMC_ACPI_DECODE_ENABLE) != 0) {
    return;
  }
  PciCfgWrite16(PMC_BUS, PMC_DEVICE, PMC_FUNCTION, PMC_ACPI_BASE_REG, ACPI_IO_BASE);
  // Register 0x44 is read afresh: the base write may have side effects on it.
  UINT32 Base = GetPcieConfigBase();
  if (Base == 0) {
    return;
  }
  UINT32 Address = Base + PCI_CFG_OFFSET(PMC_BUS, PMC_DEVICE, PMC_FUNCTION, PMC_ACPI_CONTROL_REG);
  MmioWrite8(Address, (UINT8)(MmioRead8(Address) | PMC_ACPI_DECODE_ENABLE));
}

UINT32 AcpiTimerTicks(UINT32 Microseconds) {
  UINT64 Ticks = DivU64x32((UINT64)Microseconds * ACPI_TIMER_FREQUENCY, kMicrosecondsPerSecond);
  return Ticks > 0xFFFFFFFFULL ? 0xFFFFFFFFU : (UINT32)Ticks;
}

UINT32 DelayMicroseconds(UINT32 Microseconds) {
  WaitAcpiTicks(AcpiTimerTicks(Microseconds));
  return Microseconds;
}

void WaitAcpiTicks(UINT32 Ticks) {
  UINT32 Passes = Ticks >> kPieceShift;
  UINT32 Chunk = Ticks & (kPieceTicks - 1);
  UINT32 Pass = 0;
  do {
    UINT32 Target = IoRead32(ACPI_PM_TIMER_PORT) + Chunk;
    Chunk = kPieceTicks;
    while (((Target - IoRead32(ACPI_PM_TIMER_PORT)) & kPastTargetBit) == 0) {
      CpuPause();
    }
  } while (Pass++ < Passes);
}
