/** @file
  The UEFI PI definitions the module is written against, from one of two
  places:

  - built by EDK II, which puts AutoGen.h (and with it MdePkg's Base.h and
    PiPei.h) ahead of every source, the module takes MdePkg's types, status
    codes, descriptor flags and PPI definitions (PCD_PPI included), and
    BaseLib's processor functions;
  - in every other build (the project's own IA-32 image, the host), it takes
    its own, pei/PiOwnDefs.h, which tests/edk2/PiDefsCheck.cpp
    checks against MdePkg's at compile time.

  Either way the module sees the same names: the PI types, the status codes,
  the descriptor flags and the PPI GUID values as initializer macros
  (EFI_PEI_SMBUS2_PPI_GUID and the others).
**/
#ifndef CLOCKRAMP_PEI_PIDEFS_H_
#define CLOCKRAMP_PEI_PIDEFS_H_

#if defined(__BASE_H__)
// MdePkg's Base.h is already in: this is an EDK II build.
#define CLOCKRAMP_MDEPKG 1

#ifdef __cplusplus
extern "C" {
#endif
#include <PiPei.h>
// The rest need PiPei.h first.
#include <Library/BaseLib.h>
#include <Ppi/Pcd.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Smbus2.h>
#ifdef __cplusplus
}
#endif

#else
#define CLOCKRAMP_MDEPKG 0
#include "pei/PiOwnDefs.h"
#endif

/**
  Tells whether a status reports an error.

  @param[in] Status  The status to test.

  @retval 1  Status is negative as a signed 32-bit number.
  @retval 0  Status reports success or a warning.
**/
static inline int EfiError(EFI_STATUS Status) { return (INT32)Status < 0; }

#endif  // CLOCKRAMP_PEI_PIDEFS_H_
