/** @file
  The SMBus clock generator: its register image and the block transactions
  that read it and write single registers, the level and the frequency code.
**/
#ifndef CLOCKRAMP_CLOCKGEN_CLOCKGEN_H_
#define CLOCKRAMP_CLOCKGEN_CLOCKGEN_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLOCK_GEN_SMBUS_ADDRESS 0x6B
#define CLOCK_GEN_IMAGE_SIZE 35

// Registers the module reads or changes.
#define CLOCK_GEN_REG_CONTROL 0     // bit 5 set once by the ramp
#define CLOCK_GEN_REG_MODE 1        // bits 7:5 chosen by policy
#define CLOCK_GEN_REG_OUTPUT 3      // bit 7 cleared during a step
#define CLOCK_GEN_REG_LEVEL 6       // level register
#define CLOCK_GEN_REG_BYTE_COUNT 8  // byte count of block reads
#define CLOCK_GEN_REG_STEP 9        // bits 6:3 set around a code write
#define CLOCK_GEN_REG_CODE_LOW 19   // frequency code bits 7:0
#define CLOCK_GEN_REG_CODE_HIGH 20  // frequency code bits 10:8 in bits 2:0

#define CLOCK_GEN_READ_COUNT 0x11   // byte count asked for before reading
#define CLOCK_GEN_FINAL_COUNT 0x01  // byte count left behind by the ramp
#define CLOCK_GEN_SECOND_READ_ROOM (CLOCK_GEN_IMAGE_SIZE - CLOCK_GEN_READ_COUNT)

/**
  Writes one register from the image as a one-byte block write.

  @param[in] Smbus     The SMBus2 PPI.
  @param[in] Register  The register number; the byte is Image[Register].
  @param[in] Image     The register image.

  @return The status of Execute (EFI_SUCCESS, a warning or an error).
  @retval EFI_DEVICE_ERROR  Execute reported a byte count other than 1.
**/
EFI_STATUS ClockGenWriteRegister(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 Register, UINT8 *Image);

/**
  Fills the image: sets the byte count to 17 (status ignored), then reads
  registers 0..16 and, with the count read back (at most the 18 bytes left),
  registers 17 onwards.

  @param[in]  Smbus  The SMBus2 PPI.
  @param[out] Image  The register image, CLOCK_GEN_IMAGE_SIZE bytes.

  @retval EFI_SUCCESS       Both reads succeeded (a warning from either is
                            success too: the bytes were delivered).
  @retval EFI_DEVICE_ERROR  A read reported a count other than the one asked
                            for, or the second read's count does not reach
                            register 20: the image does not hold the
                            device's registers.
  @return The failing status of either read, unchanged.
**/
EFI_STATUS ClockGenReadImage(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 *Image);

/**
  Programs the level register (0 to 3; any other value as 0), writing only
  when the image does not already hold the value.

  @param[in] Smbus  The SMBus2 PPI.
  @param[in] Level  The level.
  @param[in] Image  The register image.

  @retval EFI_SUCCESS       The level is in effect (the write succeeded,
                            possibly with a warning, or was not needed).
  @retval EFI_DEVICE_ERROR  The write reported a byte count other than 1.
  @return The failing status of the write, unchanged.
**/
EFI_STATUS ClockGenSetLevel(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 Level, UINT8 *Image);

/**
  Writes the 11-bit frequency code to registers 19 and 20 in one two-byte
  block write, keeping bits 7:3 of register 20.

  @param[in] Smbus  The SMBus2 PPI.
  @param[in] Code   The code; only its low 11 bits reach the device.
  @param[in] Image  The register image.

  @return The status of Execute (EFI_SUCCESS, a warning or an error).
  @retval EFI_DEVICE_ERROR  Execute reported a byte count other than 2.
**/
EFI_STATUS ClockGenWriteCode(const EFI_PEI_SMBUS2_PPI *Smbus, UINT16 Code, UINT8 *Image);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_CLOCKGEN_CLOCKGEN_H_
