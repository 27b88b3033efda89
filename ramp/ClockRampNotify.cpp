/** @file
  The ramp callback: reads the setup data, applies the register 0 and 1
  policies and steps the frequency code to its target, one guarded step and
  one settle delay at a time. All working storage is on this stack frame.
**/
#include "clockgen/ClockGen.h"
#include "pei/PeiAccess.h"
#include "ramp/ClockRamp.h"
#include "timer/AcpiTimer.h"

namespace {

const UINT8 kControlBit = 0x20;    // register 0 bit 5
const UINT8 kModeMask = 0xE0;      // register 1 bits 7:5
const UINT8 kModeSetGate = 0xC0;   // register 1 bits 7:6
const UINT8 kModeSetValue = 0xC0;  // register 1 bits 7:5 = 110
const UINT16 kAutoLevelNear = 4;   // codes within 3 of the centre take level 0
const UINT8 kAutoLevelMax = 3;

const CHAR16 kSetupName[] = {'S', 'e', 't', 'u', 'p', 0};
const CHAR16 kPchRcConfigurationName[] = {'P', 'c', 'h', 'R', 'c', 'C', 'o', 'n', 'f', 'i',
                                          'g', 'u', 'r', 'a', 't', 'i', 'o', 'n', 0};

/**
  Locates the first instance of a PPI.
**/
EFI_STATUS LocateFirstPpi(EFI_PEI_SERVICES **PeiServices, const EFI_GUID *Guid, VOID **Ppi) {
  const EFI_PEI_SERVICES **Services = (const EFI_PEI_SERVICES **)PeiServices;
  return (*Services)->LocatePpi(Services, Guid, 0, NULL, Ppi);
}

/**
  Chooses register 1 bits 7:5 by the chipset configuration: 110 when the
  selector is 5 and bits 7:6 are both clear, otherwise cleared. Writes the
  register only when the image byte changes.

  @retval EFI_SUCCESS  Nothing to write, or the write succeeded.
  @return The failing status of the write.
**/
EFI_STATUS ApplyModePolicy(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 *Image, BOOLEAN SetPolicy) {
  UINT8 Mode = Image[CLOCK_GEN_REG_MODE];
  if (SetPolicy) {
    if ((Mode & kModeSetGate) != 0) {
      return EFI_SUCCESS;
    }
    Image[CLOCK_GEN_REG_MODE] = (UINT8)((Mode & ~kModeMask) | kModeSetValue);
  } else {
    if ((Mode & kModeMask) == 0) {
      return EFI_SUCCESS;
    }
    Image[CLOCK_GEN_REG_MODE] = (UINT8)(Mode & ~kModeMask);
  }
  return ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_MODE, Image);
}

/**
  Leaves the byte count at 1, as the ramp's last write.
**/
EFI_STATUS WriteFinalByteCount(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 *Image) {
  Image[CLOCK_GEN_REG_BYTE_COUNT] = CLOCK_GEN_FINAL_COUNT;
  return ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_BYTE_COUNT, Image);
}

/**
  The target frequency code, RampTargetCode in "Setup" (16 bits, little-endian).
**/
UINT16 RampTarget(const UINT8 *Setup) {
  return (UINT16)(Setup[RAMP_TARGET_CODE_OFFSET] | (Setup[RAMP_TARGET_CODE_OFFSET + 1] << 8));
}

}  // namespace

UINT8 AutoLevel(UINT16 Code) {
  // With d the distance from the centre, the level is (d + 4) / 8: 0 up to
  // d = 3, then one more for every further 8 codes; at most 3.
  UINT32 Distance = Code >= RAMP_CENTRE_CODE ? (UINT32)(Code - RAMP_CENTRE_CODE)
                                             : (UINT32)(RAMP_CENTRE_CODE - Code);
  UINT32 Level = (Distance + kAutoLevelNear) >> 3;
  return Level > kAutoLevelMax ? kAutoLevelMax : (UINT8)Level;
}

EFI_STATUS EFIAPI ClockRampNotify(EFI_PEI_SERVICES **PeiServices,
                                  EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi) {
  (void)NotifyDescriptor;
  (void)Ppi;

  UINT8 Image[CLOCK_GEN_IMAGE_SIZE];
  for (UINTN Index = 0; Index < CLOCK_GEN_IMAGE_SIZE; Index++) {
    Image[Index] = 0;
  }
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *Variable = NULL;
  EFI_PEI_SMBUS2_PPI *Smbus = NULL;
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  UINT8 PchRc[PCH_RC_CONFIGURATION_SIZE];
  // One size for both reads: "Setup" is checked before "PchRcConfiguration" is read.
  UINTN DataSize = SETUP_VARIABLE_SIZE;

  EFI_STATUS Status =
      LocateFirstPpi(PeiServices, &gClockRampVariablePpiGuid, (VOID **)&Variable);
  if (EfiError(Status)) {
    return Status;
  }
  Status =
      Variable->GetVariable(Variable, kSetupName, &gClockRampSetupGuid, NULL, &DataSize, Setup);
  if (EfiError(Status)) {
    return Status;
  }
  // A variable too short to hold the ramp fields would leave them unread.
  if (DataSize < RAMP_SETUP_MIN_SIZE) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Status = LocateFirstPpi(PeiServices, &gClockRampSmbus2PpiGuid, (VOID **)&Smbus);
  if (EfiError(Status)) {
    return Status;
  }
  Status = ClockGenReadImage(Smbus, Image);
  if (EfiError(Status)) {
    return Status;
  }

  if ((Image[CLOCK_GEN_REG_CONTROL] & kControlBit) == 0) {
    Image[CLOCK_GEN_REG_CONTROL] = (UINT8)(Image[CLOCK_GEN_REG_CONTROL] | kControlBit);
    Status = ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_CONTROL, Image);
    if (EfiError(Status)) {
      return Status;
    }
  }

  DataSize = PCH_RC_CONFIGURATION_SIZE;
  Status = Variable->GetVariable(Variable, kPchRcConfigurationName, &gClockRampPchRcConfigurationGuid,
                                 NULL, &DataSize, PchRc);
  // A failed read, or one too short to reach the selector, takes the clear policy.
  BOOLEAN SetPolicy = (BOOLEAN)(!EfiError(Status) && DataSize > PCH_RC_SELECTOR_OFFSET &&
                                PchRc[PCH_RC_SELECTOR_OFFSET] == PCH_RC_SELECTOR_SET);
  Status = ApplyModePolicy(Smbus, Image, SetPolicy);
  if (EfiError(Status)) {
    return Status;
  }

  // The ramp fields are read from the "Setup" buffer where they are used
  // rather than copied to locals: the buffer is on this stack anyway, and a
  // copy kept across the ramp would add to a frame that is already 1.6 KiB.
  UINT16 Current =
      (UINT16)(((Image[CLOCK_GEN_REG_CODE_HIGH] & 0x07) << 8) | Image[CLOCK_GEN_REG_CODE_LOW]);

  // Every path from here on leaves the byte count at 1. Only 11 bits reach
  // the device, so a larger target cannot be ramped to; the current code
  // always fits, so such a target is never the current one.
  EFI_STATUS StepStatus = EFI_SUCCESS;
  if (RampTarget(Setup) > RAMP_MAX_CODE) {
    StepStatus = EFI_INVALID_PARAMETER;
  } else if (Current != RampTarget(Setup)) {
    // A fixed level is set once, before the first step; the automatic level
    // before every step, for the code that step moves to. Each is followed
    // by one delay. With a single call site the image build inlines the
    // level write here, so it adds no frame to the deepest call chain.
    UINT16 Code = Current;
    do {
      UINT16 Next = (UINT16)(Code < RampTarget(Setup) ? Code + 1 : Code - 1);
      BOOLEAN Automatic = (BOOLEAN)(Setup[RAMP_LEVEL_SELECT_OFFSET] == RAMP_LEVEL_AUTOMATIC);
      if (Automatic || Code == Current) {
        Status = ClockGenSetLevel(
            Smbus, Automatic ? AutoLevel(Next) : Setup[RAMP_LEVEL_SELECT_OFFSET], Image);
        if (EfiError(Status)) {
          return Status;
        }
        DelayMicroseconds(Setup[RAMP_STEP_DELAY_OFFSET]);
      }
      Code = Next;
      // A failed step does not stop the ramp; the first failure is reported at the end.
      Status = ClockRampStep(Code, Image, Smbus);
      if (EfiError(Status) && !EfiError(StepStatus)) {
        StepStatus = Status;
      }
      DelayMicroseconds(Setup[RAMP_STEP_DELAY_OFFSET]);
    } while (Code != RampTarget(Setup));
  }

  Status = WriteFinalByteCount(Smbus, Image);
  if (EfiError(Status)) {
    return Status;
  }
  if (EfiError(StepStatus)) {
    return StepStatus;
  }
  // With the code already at the target the final write's status is not reported.
  return Current == RampTarget(Setup) ? EFI_SUCCESS : Status;
}
