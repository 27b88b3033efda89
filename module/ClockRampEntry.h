/** @file
  The module's entry point and its notify descriptor.
**/
#ifndef CLOCKRAMP_MODULE_CLOCKRAMPENTRY_H_
#define CLOCKRAMP_MODULE_CLOCKRAMPENTRY_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

/// The notify list registered at entry: ClockRampNotify on the SMBus2 PPI, last in its list.
extern const EFI_PEI_NOTIFY_DESCRIPTOR ClockRampNotifyList;

/**
  Entry point, called once by the PEI Foundation at dispatch: enables the ACPI
  I/O space, then registers ClockRampNotifyList.

  @param[in] FileHandle   Not used.
  @param[in] PeiServices  The PEI services.

  @retval EFI_SUCCESS  Always, whether or not the registration succeeded.
**/
EFI_STATUS EFIAPI ClockRampEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                 const EFI_PEI_SERVICES **PeiServices);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_MODULE_CLOCKRAMPENTRY_H_
