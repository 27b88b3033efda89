/** @file
  Enabling the platform controller's ACPI I/O space and busy-wait delays on
  the ACPI power-management timer.
**/
#ifndef CLOCKRAMP_TIMER_ACPITIMER_H_
#define CLOCKRAMP_TIMER_ACPITIMER_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ACPI_IO_BASE 0x500
#define ACPI_PM_TIMER_PORT (ACPI_IO_BASE + 8)
#define ACPI_TIMER_FREQUENCY 3579545U

// The platform controller's ACPI registers: bus 0, device 31, function 2.
#define PMC_BUS 0
#define PMC_DEVICE 31
#define PMC_FUNCTION 2
#define PMC_ACPI_BASE_REG 0x40     // 16-bit ACPI I/O base
#define PMC_ACPI_CONTROL_REG 0x44  // bit 7 enables decoding
#define PMC_ACPI_DECODE_ENABLE 0x80

/**
  Converts microseconds to ACPI timer ticks, truncating: one 64-bit
  multiplication and one 64-by-32-bit division. A count that does not fit in
  32 bits becomes 0xFFFFFFFF, the longest wait expressible, rather than its
  low 32 bits, which would be a much shorter wait.

  @param[in] Microseconds  The time.

  @return The ticks.
**/
UINT32 AcpiTimerTicks(UINT32 Microseconds);

/**
  Enables decoding of the ACPI I/O space at ACPI_IO_BASE unless decoding is
  already on (then nothing is changed, whatever the base). The configuration
  base is looked up anew for each access.
**/
void EnableAcpiIoSpace(void);

/**
  Busy-waits AcpiTimerTicks(Microseconds) ticks on the ACPI timer.

  @param[in] Microseconds  The time to wait.

  @return Microseconds, unchanged.
**/
UINT32 DelayMicroseconds(UINT32 Microseconds);

/**
  Busy-waits the given number of ACPI timer ticks: a first piece of
  (Ticks mod 2^22) ticks, then whole pieces of 2^22, each short enough for the
  bit-23 test to stay sound across the timer's 24-bit wrap.

  @param[in] Ticks  The ticks to wait.
**/
void WaitAcpiTicks(UINT32 Ticks);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_TIMER_ACPITIMER_H_
