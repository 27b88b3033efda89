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

/**
  Read-modify-write of one register of the selected logical device.
**/
void SioModifyRegister(UINT8 Register, UINT8 AndMask, UINT8 OrMask) {
  UINT8 Value = SioReadRegister(Register);
  SioWriteRegister(Register, (UINT8)((Value & AndMask) | OrMask));
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
  SioSelectLogicalDevice(SIO_GUARD_LDN);
  SioModifyRegister(SIO_GUARD_ACTIVATE_REG, 0xFF, 0x01);
  SioSelectLogicalDevice(SIO_GUARD_ENABLE_LDN);
  SioModifyRegister(SIO_GUARD_ENABLE_REG, 0xFF, 0x08);
  SioSelectLogicalDevice(SIO_GUARD_LDN);
  SioWriteRegister(SIO_GUARD_LOAD_REG, 0x01);
  return EFI_SUCCESS;
}

EFI_STATUS SioGuardDisarm(void) {
  SioSelectLogicalDevice(SIO_GUARD_LDN);
  SioWriteRegister(SIO_GUARD_LOAD_REG, 0x00);
  SioSelectLogicalDevice(SIO_GUARD_ENABLE_LDN);
  SioModifyRegister(SIO_GUARD_ENABLE_REG, 0xF7, 0x00);
  SioSelectLogicalDevice(SIO_GUARD_LDN);
  SioModifyRegister(SIO_GUARD_ACTIVATE_REG, 0xFE, 0x00);
  return EFI_SUCCESS;
}
