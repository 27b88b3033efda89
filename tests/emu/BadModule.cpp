/** @file
  The module with one writable global that its entry point writes before
  doing the real entry's work: an image that cannot run in place from flash.
**/
#include "module/ClockRampEntry.h"

extern "C" {

volatile UINT32 BadEntryCount;

EFI_STATUS EFIAPI BadEntry(EFI_PEI_FILE_HANDLE FileHandle, const EFI_PEI_SERVICES **PeiServices) {
  BadEntryCount = BadEntryCount + 1;
  return ClockRampEntry(FileHandle, PeiServices);
}

}  // extern "C"
