/** @file
  The Super I/O chip's configuration protocol and the guard that the ramp
  arms around every change of the frequency code.
**/
#ifndef CLOCKRAMP_SIO_SIO_H_
#define CLOCKRAMP_SIO_SIO_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIO_INDEX_PORT 0x2E
#define SIO_DATA_PORT 0x2F

#define SIO_ENTER_KEY 0x87           // written twice to the index port
#define SIO_EXIT_KEY 0xAA            // written once to the index port
#define SIO_LOGICAL_DEVICE_REG 0x07  // selects the logical device

#define SIO_GUARD_LDN 0x08           // logical device of the guard
#define SIO_GUARD_ENABLE_LDN 0x0A    // logical device of the enabling bit
#define SIO_GUARD_ACTIVATE_REG 0x30  // device 8, bit 0
#define SIO_GUARD_ENABLE_REG 0xE7    // device 0x0A, bit 3
#define SIO_GUARD_LOAD_REG 0xF6      // device 8, 1 while armed

/**
  Writes one configuration register inside its own enter and leave.

  @param[in] Register  The configuration register.
  @param[in] Value     The value to write.
**/
void SioWriteRegister(UINT8 Register, UINT8 Value);

/**
  Reads one configuration register inside its own enter and leave.

  @param[in] Register  The configuration register.

  @return Whatever the data port delivers.
**/
UINT8 SioReadRegister(UINT8 Register);

/**
  Selects a logical device (a write of register 0x07); the selection holds
  across leaving and re-entering configuration mode.

  @param[in] Device  The logical device number.
**/
void SioSelectLogicalDevice(UINT8 Device);

/**
  Arms the guard: activates logical device 8, sets the enabling bit in device
  0x0A and loads register 0xF6 of device 8 with 1.

  @retval EFI_SUCCESS  Always; there is no failure path.
**/
EFI_STATUS SioGuardArm(void);

/**
  Disarms the guard: the arm sequence undone in reverse order.

  @retval EFI_SUCCESS  Always; there is no failure path.
**/
EFI_STATUS SioGuardDisarm(void);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_SIO_SIO_H_
