/** @file
  One guarded frequency step. The guard is armed only after register 3 bit 7
  is cleared and disarmed before it is set again, so the guarded window covers
  exactly the change of register 9 and of the code. A failure leaves the guard
  as it is; the next step arms it again.
**/
#include "clockgen/ClockGen.h"
#include "pei/Platform.h"
#include "ramp/ClockRamp.h"
#include "sio/Sio.h"

namespace {
const UINT8 kOutputEnable = 0x80;  // register 3 bit 7
const UINT8 kStepBits = 0x78;      // register 9 bits 6:3
}  // namespace

EFI_STATUS ClockRampStep(UINT16 Code, UINT8 *Image, const EFI_PEI_SMBUS2_PPI *Smbus) {
  IoWrite8(POST_CODE_PORT, POST_STEP_BEGIN);

  Image[CLOCK_GEN_REG_OUTPUT] = (UINT8)(Image[CLOCK_GEN_REG_OUTPUT] & ~kOutputEnable);
  EFI_STATUS Status = ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_OUTPUT, Image);
  if (EfiError(Status)) {
    return Status;
  }

  SioGuardArm();

  Image[CLOCK_GEN_REG_STEP] = (UINT8)(Image[CLOCK_GEN_REG_STEP] | kStepBits);
  Status = ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_STEP, Image);
  if (EfiError(Status)) {
    return Status;
  }

  IoWrite8(POST_CODE_PORT, POST_STEP_CODE);
  Status = ClockGenWriteCode(Smbus, Code, Image);
  if (EfiError(Status)) {
    return Status;
  }
  IoWrite8(POST_CODE_PORT, POST_STEP_DONE);

  Image[CLOCK_GEN_REG_STEP] = (UINT8)(Image[CLOCK_GEN_REG_STEP] & ~kStepBits);
  Status = ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_STEP, Image);
  if (EfiError(Status)) {
    return Status;
  }

  SioGuardDisarm();

  Image[CLOCK_GEN_REG_OUTPUT] = (UINT8)(Image[CLOCK_GEN_REG_OUTPUT] | kOutputEnable);
  return ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_OUTPUT, Image);
}
