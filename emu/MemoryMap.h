// The guest's physical memory map. Paging is off, segments are flat, so these
// are the addresses the module sees.
//
//   0x00000000-0x000FFFFF  unmapped: a null or small bad pointer faults
//   0x00100000-0x00100FFF  Foundation data (read-only to the guest): services
//                          table, PPIs, PPI GUIDs, descriptors; the services
//                          pointer in the last 4 bytes, right below the IDT
//   0x00101000-0x001017FF  the IDT (IDTR base; read-only, never used: no interrupts)
//   0x00102000-0x00102FFF  stubs (read+execute): one RET per Foundation function
//   0x00103000-0x001FFFFF  unmapped: stack overflow guard
//   0x00200000-0x0020FFFF  stack (read+write), pattern-filled before each call
//   PCIe window            memory-mapped I/O to the board (base from the board)
//   0xFFF00000-0xFFFFFFFF  flash (read+execute, 0xFF where nothing is loaded);
//                          the image runs in place at a chosen 32-byte-aligned address
#ifndef CLOCKRAMP_EMU_MEMORYMAP_H_
#define CLOCKRAMP_EMU_MEMORYMAP_H_

#include <cstdint>

namespace emu::memmap {

inline constexpr uint32_t kPageSize = 0x1000;

inline constexpr uint32_t kFoundationBase = 0x00100000;
inline constexpr uint32_t kFoundationSize = 0x1000;

inline constexpr uint32_t kIdtBase = 0x00101000;
inline constexpr uint16_t kIdtLimit = 0x7FF;  // 256 gates of 8 bytes
inline constexpr uint32_t kIdtSize = 0x1000;
// The Foundation keeps its services pointer in the 4 bytes below the IDT base.
inline constexpr uint32_t kServicesPointerSlot = kIdtBase - 4;

inline constexpr uint32_t kStubBase = 0x00102000;
inline constexpr uint32_t kStubSize = 0x1000;
inline constexpr uint32_t kStubSpacing = 16;  // one RET, padded with INT3

inline constexpr uint32_t kStackBase = 0x00200000;
inline constexpr uint32_t kStackSize = 0x10000;
inline constexpr uint32_t kStackTop = kStackBase + kStackSize;
inline constexpr uint8_t kStackPattern = 0xA5;

inline constexpr uint32_t kFlashBase = 0xFFF00000;
inline constexpr uint32_t kFlashSize = 0x00100000;
inline constexpr uint64_t kFlashEnd = uint64_t{kFlashBase} + kFlashSize;
// Default load address: 32-byte aligned, away from both the image's preferred
// base and any page boundary, so that relocation is exercised.
inline constexpr uint32_t kDefaultLoadAddress = 0xFFF81020;

}  // namespace emu::memmap

#endif  // CLOCKRAMP_EMU_MEMORYMAP_H_
