/** @file
  Host instance of the platform layer: forwards every access to the simulated
  board that is current for this thread, with its true width, exactly once.
  When the board stops the run (a hang), the module is unwound with
  board::RunStopped so that no busy-wait can spin for ever.
**/
#include "board/HostBus.h"
#include "pei/Platform.h"

namespace {

board::HostBus& Bus() { return *board::CurrentHostBus(); }

// Unwinds the module once the board has stopped the run.
void CheckStopped() {
  if (Bus().Stopped()) {
    throw board::RunStopped{};
  }
}

}  // namespace

void IoWrite8(UINT16 Port, UINT8 Value) {
  Bus().IoWrite(Port, 8, Value);
  CheckStopped();
}

UINT8 IoRead8(UINT16 Port) {
  auto Value = static_cast<UINT8>(Bus().IoRead(Port, 8));
  CheckStopped();
  return Value;
}

UINT32 IoRead32(UINT16 Port) {
  UINT32 Value = Bus().IoRead(Port, 32);
  CheckStopped();
  return Value;
}

UINT8 MmioRead8(UINT32 Address) {
  auto Value = static_cast<UINT8>(Bus().MmioRead(Address, 8));
  CheckStopped();
  return Value;
}

void MmioWrite8(UINT32 Address, UINT8 Value) {
  Bus().MmioWrite(Address, 8, Value);
  CheckStopped();
}

UINT16 MmioRead16(UINT32 Address) {
  auto Value = static_cast<UINT16>(Bus().MmioRead(Address, 16));
  CheckStopped();
  return Value;
}

void MmioWrite16(UINT32 Address, UINT16 Value) {
  Bus().MmioWrite(Address, 16, Value);
  CheckStopped();
}

void AsmReadIdtr(IA32_DESCRIPTOR* Idtr) {
  UINT16 Limit = 0;
  UINT64 Base = Bus().ReadIdtr(Limit);
  Idtr->Limit = Limit;
  Idtr->Base = static_cast<UINTN>(Base);
  CheckStopped();
}

void CpuPause(void) {
  Bus().Pause();
  CheckStopped();
}

UINT64 DivU64x32(UINT64 Dividend, UINT32 Divisor) { return Dividend / Divisor; }
