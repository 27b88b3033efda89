/** @file
  The module's entry point: makes the ACPI timer usable and registers the one
  notification on the SMBus2 PPI, on which all clock generator traffic
  depends. No clock work is done here.
**/
#include "module/ClockRampEntry.h"

#include "pei/PeiAccess.h"
#include "ramp/ClockRamp.h"
#include "timer/AcpiTimer.h"

extern "C" {

const EFI_PEI_NOTIFY_DESCRIPTOR ClockRampNotifyList = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    // MdePkg's descriptor holds a pointer to a writable GUID; nothing writes through it.
    (EFI_GUID *)&gClockRampSmbus2PpiGuid, ClockRampNotify};

EFI_STATUS EFIAPI ClockRampEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                 const EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  EnableAcpiIoSpace();
  // Registration cannot be retried from here; the entry reports success regardless.
  (void)(*PeiServices)->NotifyPpi(PeiServices, &ClockRampNotifyList);
  return EFI_SUCCESS;
}

}  // extern "C"
