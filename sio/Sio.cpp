/** @file
  Super I/O configuration access and the guard sequences. Every single access
  enters and leaves configuration mode on its own; the mode is never held from
  one access to the next, and nothing about the chip is remembered.
**/
#include "sio/Sio.h"

#include "pei/Platform.h"

namespace {

void SioEnter() {
  IoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
  IoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
}

void SioLeave() { IoWrite8(SIO_INDEX_PORT, SIO_EXIT_KEY); }

/// One access of a guard sequence: a read-modify-write of Register, or a
/// plain write of OrMask when AndMask is 0 (no guard access clears a whole
/// register through a read).
struct SioStep {
  UINT8 Register;
  UINT8 AndMask;
  UINT8 OrMask;
};

const UINTN kGuardSequenceLength = 6;

/// The arm sequence, then the disarm sequence (the arm sequence undone in reverse order).
const SioStep kGuardSteps[2 * kGuardSequenceLength] = {
    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_LDN},
    {SIO_GUARD_ACTIVATE_REG, 0xFF, 0x01},
    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_ENABLE_LDN},
    {SIO_GUARD_ENABLE_REG, 0xFF, 0x08},
    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_LDN},
    {SIO_GUARD_LOAD_REG, 0, 0x01},

    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_LDN},
    {SIO_GUARD_LOAD_REG, 0, 0x00},
    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_ENABLE_LDN},
    {SIO_GUARD_ENABLE_REG, 0xF7, 0x00},
    {SIO_LOGICAL_DEVICE_REG, 0, SIO_GUARD_LDN},
    {SIO_GUARD_ACTIVATE_REG, 0xFE, 0x00},
};

/**
  Runs one guard sequence, each access inside its own enter and leave. The
  sequences are data rather than code because the image runs from flash,
  where a table of 3-byte steps is far smaller than the calls it replaces.

  @param[in] First  Index in kGuardSteps of the sequence's first step.
**/
void SioRunGuardSequence(UINTN First) {
  const SioStep *Step = &kGuardSteps[First];
  for (UINTN Count = kGuardSequenceLength; Count != 0; Count--, Step++) {
    UINT8 Value = Step->OrMask;
    if (Step->AndMask != 0) {
      Value = (UINT8)((SioReadRegister(Step->Register) & Step->AndMask) | Value);
    }
    SioWriteRegister(Step->Register, Value);
  }
}

}  // namespace

void SioWriteRegister(UINT8 Register, UINT8 Value) {
  SioEnter();
  IoWrite8(SIO_INDEX_PORT, Register);
  IoWrite8(SIO_DATA_PORT, Value);
  SioLeave();
}

UINT8 SioReadRegister(UINT8 Register) {
  SioEnter();
  IoWrite8(SIO_INDEX_PORT, Register);
  UINT8 Value = IoRead8(SIO_DATA_PORT);
  SioLeave();
  return Value;
}

void SioSelectLogicalDevice(UINT8 Device) { SioWriteRegister(SIO_LOGICAL_DEVICE_REG, Device); }

EFI_STATUS SioGuardArm(void) {
  SioRunGuardSequence(0);
  return EFI_SUCCESS;
}

EFI_STATUS SioGuardDisarm(void) {
  SioRunGuardSequence(kGuardSequenceLength);
  return EFI_SUCCESS;
}
