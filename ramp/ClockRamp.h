/** @file
  The clock ramp: the notify callback that brings the clock generator's
  frequency code to the target in "Setup", and the single guarded step.
**/
#ifndef CLOCKRAMP_RAMP_CLOCKRAMP_H_
#define CLOCKRAMP_RAMP_CLOCKRAMP_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

// Variable buffers, sized as the platform defines the two variables.
#define SETUP_VARIABLE_SIZE 219
#define PCH_RC_CONFIGURATION_SIZE 1378

// Fields of "Setup" (byte offsets).
#define RAMP_TARGET_CODE_OFFSET 0xA4   // 16 bits, little-endian
#define RAMP_LEVEL_SELECT_OFFSET 0xA6  // 0 to 3, or RAMP_LEVEL_AUTOMATIC
#define RAMP_STEP_DELAY_OFFSET 0xA7    // microseconds
#define RAMP_SETUP_MIN_SIZE (RAMP_STEP_DELAY_OFFSET + 1)
#define RAMP_LEVEL_AUTOMATIC 0xFF

// Field of "PchRcConfiguration": 5 selects the set policy for register 1.
#define PCH_RC_SELECTOR_OFFSET 0x545
#define PCH_RC_SELECTOR_SET 5

#define RAMP_CENTRE_CODE 1000
#define RAMP_MAX_CODE 0x7FF

// POST codes of a step, on port 0x80.
#define POST_CODE_PORT 0x80
#define POST_STEP_BEGIN 0xC4
#define POST_STEP_CODE 0xC8
#define POST_STEP_DONE 0xCC

/**
  The automatic level for a code: 0 within 3 codes of RAMP_CENTRE_CODE, then
  one more for every further 8 codes, at most 3.

  @param[in] Code  The frequency code.

  @return The level, 0 to 3.
**/
UINT8 AutoLevel(UINT16 Code);

/**
  Moves the clock generator to one new code, with register 3 bit 7 cleared,
  the Super I/O guard armed and register 9 bits 6:3 set around the code write,
  and POST codes 0xC4, 0xC8, 0xCC marking its progress.

  @param[in] Code   The new frequency code.
  @param[in] Image  The caller's register image.
  @param[in] Smbus  The SMBus2 PPI.

  @return The first failing status, or else the status of the final write of register 3.
**/
EFI_STATUS ClockRampStep(UINT16 Code, UINT8 *Image, const EFI_PEI_SMBUS2_PPI *Smbus);

/**
  The notify callback, run when the SMBus2 PPI is installed: reads "Setup",
  reads the clock generator, applies the register 0 and 1 policies and ramps
  the code to the target one step at a time, then writes the byte count 1.

  @param[in] PeiServices       The PEI services.
  @param[in] NotifyDescriptor  Not used.
  @param[in] Ppi               Not used; the SMBus2 PPI is located afresh.

  @retval EFI_SUCCESS            The code reached the target, or already was there.
  @retval EFI_BAD_BUFFER_SIZE    "Setup" is too short to hold the ramp fields; nothing was sent.
  @retval EFI_INVALID_PARAMETER  The target is above 2047; no step was made.
  @return Any other failure: of a lookup, a read, a policy write, a level write,
          the final write, or else of the first failed step.
**/
EFI_STATUS EFIAPI ClockRampNotify(EFI_PEI_SERVICES **PeiServices,
                                  EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_RAMP_CLOCKRAMP_H_
