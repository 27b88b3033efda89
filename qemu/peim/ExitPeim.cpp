/** @file
  The exit PEIM: dispatched after the clock ramp module. When the scenario
  installs the SMBus2 PPI after the entry it installs it here, so the real
  PEI core delivers the module's notification from inside InstallPpi; once
  that has returned it logs the end of the module's part ("end"), the clock
  generator's registers and the LPC bridge's ACPI registers, puts the
  firmware's PCD PPI back and stops QEMU through isa-debug-exit. It logs its
  stack pointer first, which shows whether it (and the module just before it)
  ran before or after memory.
**/
#include "qemu/peim/HelperPeim.h"

namespace {

const EFI_GUID kContextPpiGuid = HELPER_CONTEXT_PPI_GUID;

/** Stops QEMU; does not return. **/
[[noreturn]] void ExitQemu() {
  for (;;) {
    HelperOut8(DEBUG_EXIT_PORT, DEBUG_EXIT_VALUE);
    __asm__ __volatile__("cli; hlt" : : : "memory");
  }
}

}  // namespace

/**
  Entry point of the exit PEIM.

  @param[in] FileHandle   Not used.
  @param[in] PeiServices  The PEI services.

  @return Does not return: QEMU stops.
**/
extern "C" EFI_STATUS EFIAPI ExitPeimEntry(EFI_PEI_FILE_HANDLE /*FileHandle*/,
                                           const EFI_PEI_SERVICES **PeiServices) {
  // Where the core runs the PEIMs: before memory on the firmware's temporary
  // RAM, after it on a stack in permanent memory.
  UINT32 Stack = 0;
  __asm__ __volatile__("movl %%esp, %0" : "=r"(Stack));
  LogText("crq stack");
  LogHex(Stack);
  LogEnd();

  VOID *Found = nullptr;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &kContextPpiGuid, 0, nullptr, &Found);
  if (Status != EFI_SUCCESS || Found == nullptr) {
    LogText("crq exit-no-context");
    LogEnd();
    ExitQemu();
  }
  const auto *Context = static_cast<const HELPER_CONTEXT *>(Found);
  if (Context->Smbus2Timing == SMBUS2_AFTER_ENTRY) {
    LogText("crq install-smbus2");
    LogEnd();
    Status = (*PeiServices)->InstallPpi(PeiServices, Context->Smbus2);
    LogText("crq smbus2-installed");
    LogHex(Status);
    LogEnd();
  }
  LogText("crq end");
  LogEnd();

  // state <clock generator registers> <PMBASE dword> <ACPI_CNTL dword>
  LogText("crq state");
  LogBytes(Context->Model->Registers, 256);
  LogHex(LpcRead32(0x40));
  LogHex(LpcRead32(0x44));
  LogEnd();

  if (Context->PcdOld != nullptr) {
    Status = (*PeiServices)->ReInstallPpi(PeiServices, Context->PcdShim, Context->PcdOld);
    LogText("crq pcd-restored");
    LogHex(Status);
    LogEnd();
  }
  LogText("crq exit");
  LogEnd();
  ExitQemu();
}
