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

// Unwinds the module once the board has stopped the run. Each access looks
// the board up once and hands it here: a settle wait makes millions of them.
void CheckStopped(const board::HostBus& bus) {
  if (bus.Stopped()) {
    throw board::RunStopped{};
  }
}

}  // namespace

void IoWrite8(UINT16 Port, UINT8 Value) {
  board::HostBus& bus = Bus();
  bus.IoWrite(Port, 8, Value);
  CheckStopped(bus);
}

UINT8 IoRead8(UINT16 Port) {
  board::HostBus& bus = Bus();
  auto Value = static_cast<UINT8>(bus.IoRead(Port, 8));
  CheckStopped(bus);
  return Value;
}

UINT32 IoRead32(UINT16 Port) {
  board::HostBus& bus = Bus();
  UINT32 Value = bus.IoRead(Port, 32);
  CheckStopped(bus);
  return Value;
}

UINT8 MmioRead8(UINT32 Address) {
  board::HostBus& bus = Bus();
  auto Value = static_cast<UINT8>(bus.MmioRead(Address, 8));
  CheckStopped(bus);
  return Value;
}

void MmioWrite8(UINT32 Address, UINT8 Value) {
  board::HostBus& bus = Bus();
  bus.MmioWrite(Address, 8, Value);
  CheckStopped(bus);
}

UINT16 MmioRead16(UINT32 Address) {
  board::HostBus& bus = Bus();
  auto Value = static_cast<UINT16>(bus.MmioRead(Address, 16));
  CheckStopped(bus);
  return Value;
}

void MmioWrite16(UINT32 Address, UINT16 Value) {
  board::HostBus& bus = Bus();
  bus.MmioWrite(Address, 16, Value);
  CheckStopped(bus);
}

void AsmReadIdtr(IA32_DESCRIPTOR* Idtr) {
  board::HostBus& bus = Bus();
  UINT16 Limit = 0;
  UINT64 Base = bus.ReadIdtr(Limit);
  Idtr->Limit = Limit;
  Idtr->Base = static_cast<UINTN>(Base);
  CheckStopped(bus);
}

void CpuPause(void) {
  board::HostBus& bus = Bus();
  bus.Pause();
  CheckStopped(bus);
}

UINT64 DivU64x32(UINT64 Dividend, UINT32 Divisor) { return Dividend / Divisor; }
