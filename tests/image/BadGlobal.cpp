// A deliberately faulty addition to the module for the image checks to
// reject: one writable global that the entry point reads and updates, so
// the link must keep it in a writable data section.
#include "module/ClockRampEntry.h"

namespace {
UINT32 DispatchCount = 1;
}  // namespace

extern "C" EFI_STATUS EFIAPI BadEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                      const EFI_PEI_SERVICES **PeiServices) {
  DispatchCount++;
  if (DispatchCount > 2) {
    return EFI_ABORTED;
  }
  return ClockRampEntry(FileHandle, PeiServices);
}
