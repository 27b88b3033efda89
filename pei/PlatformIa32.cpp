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

void AsmReadIdtr(IA32_DESCRIPTOR *Idtr) {
  __asm__ __volatile__("sidt %0" : "=m"(*Idtr) : : "memory");
}

void CpuPause(void) { __asm__ __volatile__("pause" : : : "memory"); }

/**
  64-by-32 division by two DIV instructions: the high half first, its
  remainder carried into the division of the low half. Avoids the compiler's
  runtime helper, which does not exist in a freestanding image.
**/
UINT64 DivU64x32(UINT64 Dividend, UINT32 Divisor) {
  UINT32 High = (UINT32)(Dividend >> 32);
  UINT32 Low = (UINT32)Dividend;
  UINT32 QuotientHigh;
  UINT32 Remainder;
  UINT32 QuotientLow;
  __asm__("divl %4" : "=a"(QuotientHigh), "=d"(Remainder) : "a"(High), "d"(0U), "rm"(Divisor));
  __asm__("divl %4" : "=a"(QuotientLow), "=d"(Remainder) : "a"(Low), "d"(Remainder), "rm"(Divisor));
  return ((UINT64)QuotientHigh << 32) | QuotientLow;
}
