/** @file
  IA-32 instance of the platform layer: each access is one instruction in
  inline assembly, marked volatile with a memory clobber so that the compiler
  neither merges, reorders nor elides it.
**/
#include "pei/Platform.h"

void IoWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

UINT8 IoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

UINT32 IoRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

UINT8 MmioRead8(UINT32 Address) { return *(volatile const UINT8 *)(UINTN)Address; }

void MmioWrite8(UINT32 Address, UINT8 Value) { *(volatile UINT8 *)(UINTN)Address = Value; }

UINT16 MmioRead16(UINT32 Address) { return *(volatile const UINT16 *)(UINTN)Address; }

void MmioWrite16(UINT32 Address, UINT16 Value) { *(volatile UINT16 *)(UINTN)Address = Value; }

#if !CLOCKRAMP_MDEPKG
void AsmReadIdtr(IA32_DESCRIPTOR *Idtr) {
  __asm__ __volatile__("sidt %0" : "=m"(*Idtr) : : "memory");
}

void CpuPause(void) { __asm__ __volatile__("pause" : : : "memory"); }

/**
  64-by-32 division without the compiler's runtime helper, which does not
  exist in a freestanding image. A dividend that fits 32 bits takes one plain
  32-bit division; any other takes two DIV instructions, the high half first,
  its remainder carried into the division of the low half. Where the compiler
  can see the dividend is small, the two-DIV path is left out of the image.
**/
UINT64 DivU64x32(UINT64 Dividend, UINT32 Divisor) {
  UINT32 High = (UINT32)(Dividend >> 32);
  UINT32 Low = (UINT32)Dividend;
  if (High == 0) {
    return Low / Divisor;
  }
  UINT32 QuotientHigh;
  UINT32 Remainder;
  UINT32 QuotientLow;
  __asm__("divl %4" : "=a"(QuotientHigh), "=d"(Remainder) : "a"(High), "d"(0U), "r"(Divisor));
  __asm__("divl %4" : "=a"(QuotientLow), "=d"(Remainder) : "a"(Low), "d"(Remainder), "r"(Divisor));
  return ((UINT64)QuotientHigh << 32) | QuotientLow;
}
#endif  // !CLOCKRAMP_MDEPKG
