/** @file
  The thin platform layer through which the module reaches the hardware:
  port I/O, memory-mapped I/O at a 32-bit physical address, the IDT register
  and the PAUSE hint, plus the one 64-by-32-bit division the timer needs.

  Two implementations are chosen at link time: PlatformIa32.cpp (inline
  assembly for the IA-32 image) and board/PlatformHost.cpp (a forwarder to the
  simulated board). Every access is made exactly once, in program order.
**/
#ifndef CLOCKRAMP_PEI_PLATFORM_H_
#define CLOCKRAMP_PEI_PLATFORM_H_

#include "pei/PiDefs.h"

/**
  Writes one byte to an I/O port.

  @param[in] Port   The I/O port.
  @param[in] Value  The byte to write.
**/
void IoWrite8(UINT16 Port, UINT8 Value);

/**
  Reads one byte from an I/O port.

  @param[in] Port  The I/O port.

  @return The byte read.
**/
UINT8 IoRead8(UINT16 Port);

/**
  Reads a 32-bit value from an I/O port.

  @param[in] Port  The I/O port.

  @return The value read.
**/
UINT32 IoRead32(UINT16 Port);

/**
  Reads one byte of memory-mapped I/O.

  @param[in] Address  The physical address.

  @return The byte read.
**/
UINT8 MmioRead8(UINT32 Address);

/**
  Writes one byte of memory-mapped I/O.

  @param[in] Address  The physical address.
  @param[in] Value    The byte to write.
**/
void MmioWrite8(UINT32 Address, UINT8 Value);

/**
  Reads 16 bits of memory-mapped I/O in one access.

  @param[in] Address  The physical address, 2-byte aligned.

  @return The value read.
**/
UINT16 MmioRead16(UINT32 Address);

/**
  Writes 16 bits of memory-mapped I/O in one access.

  @param[in] Address  The physical address, 2-byte aligned.
  @param[in] Value    The value to write.
**/
void MmioWrite16(UINT32 Address, UINT16 Value);

#if !CLOCKRAMP_MDEPKG
// Built by EDK II, the three below are MdePkg's BaseLib functions of the same
// names and meaning, declared by <Library/BaseLib.h>.

/**
  Stores the IDT register (SIDT).

  @param[out] Idtr  Receives the limit and base of the IDT.
**/
void AsmReadIdtr(IA32_DESCRIPTOR *Idtr);

/**
  Executes the PAUSE hint of a busy-wait loop.
**/
void CpuPause(void);

/**
  Divides a 64-bit unsigned number by a 32-bit one without a runtime helper.

  @param[in] Dividend  The 64-bit dividend.
  @param[in] Divisor   The 32-bit divisor; must not be zero.

  @return The 64-bit quotient, truncated.
**/
UINT64 DivU64x32(UINT64 Dividend, UINT32 Divisor);

#endif  // !CLOCKRAMP_MDEPKG

#endif  // CLOCKRAMP_PEI_PLATFORM_H_
