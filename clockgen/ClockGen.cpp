/** @file
  Clock generator transactions over the SMBus2 PPI. Every change follows one
  pattern: modify the image byte, then write that register from the image, so
  the image always holds the value last sent (or last attempted).
**/
#include "clockgen/ClockGen.h"

namespace {

/// The clock generator's address as Execute takes it, by value. A constant,
/// not a local: a structure built in the frame and copied costs the function
/// that calls Execute a stack slot and extra saved registers, and that
/// function lies on the callback's deepest call chain.
const EFI_SMBUS_DEVICE_ADDRESS kClockGenAddress = {CLOCK_GEN_SMBUS_ADDRESS};

/**
  Runs one block transaction with the clock generator, PEC off. Any status
  that is not an error is success: a warning still reports a transaction the
  PPI carried out. A transaction the PPI reports as done but with a byte
  count other than the one asked for is EFI_DEVICE_ERROR: fewer bytes read
  leave image bytes that would be taken for the device's (among them the
  code the ramp starts from), fewer written leave the register short of its
  value, and more than asked means the PPI moved bytes outside the buffer
  or miscounts, so nothing it says about the transfer can be trusted.
  Errors are returned as they are.
  Length itself receives the count the PPI reports, the count asked for is
  kept aside: with nothing stored in this frame before the call, it stays at
  two saved registers (the callback's frame is already 1.6 KiB of buffers,
  and this frame lies under it on every register write).

  @param[in]      Smbus      The SMBus2 PPI.
  @param[in]      Command    The first register of the block.
  @param[in]      Operation  EfiSmbusReadBlock or EfiSmbusWriteBlock.
  @param[in]      Length     The number of bytes to move.
  @param[in, out] Buffer     The image bytes to send, or to read into.

  @return The status of Execute when it is an error, or when the count it
          hands back is the one asked for (EFI_SUCCESS or a warning).
  @retval EFI_DEVICE_ERROR  The PPI reported a count other than Length.
**/
EFI_STATUS ClockGenExecute(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 Command,
                           EFI_SMBUS_OPERATION Operation, UINTN Length, UINT8 *Buffer) {
  UINTN Asked = Length;
  EFI_STATUS Status =
      Smbus->Execute(Smbus, kClockGenAddress, Command, Operation, FALSE, &Length, Buffer);
  if (EfiError(Status) || Length == Asked) {
    return Status;
  }
  return EFI_DEVICE_ERROR;
}

}  // namespace

EFI_STATUS ClockGenWriteRegister(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 Register, UINT8 *Image) {
  return ClockGenExecute(Smbus, Register, EfiSmbusWriteBlock, 1, &Image[Register]);
}

EFI_STATUS ClockGenReadImage(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 *Image) {
  Image[CLOCK_GEN_REG_BYTE_COUNT] = CLOCK_GEN_READ_COUNT;
  // The device may not acknowledge the count; the reads below tell.
  (void)ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_BYTE_COUNT, Image);

  EFI_STATUS Status =
      ClockGenExecute(Smbus, 0, EfiSmbusReadBlock, Image[CLOCK_GEN_REG_BYTE_COUNT], &Image[0]);
  if (EfiError(Status)) {
    return Status;
  }

  // The second read takes the count the device reported in register 8, but
  // never more than the image has room for from register 17 on.
  UINTN Length = Image[CLOCK_GEN_REG_BYTE_COUNT];
  if (Length > CLOCK_GEN_SECOND_READ_ROOM) {
    Length = CLOCK_GEN_SECOND_READ_ROOM;
  }
  Status = ClockGenExecute(Smbus, CLOCK_GEN_READ_COUNT, EfiSmbusReadBlock, Length,
                           &Image[CLOCK_GEN_READ_COUNT]);
  if (EfiError(Status)) {
    return Status;
  }
  // A count too small to reach register 20 leaves the code unread.
  return Length > CLOCK_GEN_REG_CODE_HIGH - CLOCK_GEN_READ_COUNT ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

EFI_STATUS ClockGenSetLevel(const EFI_PEI_SMBUS2_PPI *Smbus, UINT8 Level, UINT8 *Image) {
  // Register 6: bits 7:6 set, the level repeated in bits 5:4, 3:2 and 1:0
  // (0xC0, 0xD5, 0xEA, 0xFF); computed, so the image needs no table for it.
  UINT8 Value = (UINT8)(0xC0 | ((Level < 4 ? Level : 0) * 0x15));
  if (Image[CLOCK_GEN_REG_LEVEL] == Value) {
    return EFI_SUCCESS;
  }
  Image[CLOCK_GEN_REG_LEVEL] = Value;
  EFI_STATUS Status = ClockGenWriteRegister(Smbus, CLOCK_GEN_REG_LEVEL, Image);
  if (EfiError(Status)) {
    return Status;
  }
  return EFI_SUCCESS;
}

EFI_STATUS ClockGenWriteCode(const EFI_PEI_SMBUS2_PPI *Smbus, UINT16 Code, UINT8 *Image) {
  Image[CLOCK_GEN_REG_CODE_LOW] = (UINT8)(Code & 0xFF);
  Image[CLOCK_GEN_REG_CODE_HIGH] =
      (UINT8)((Image[CLOCK_GEN_REG_CODE_HIGH] & 0xF8) | ((Code >> 8) & 0x07));
  return ClockGenExecute(Smbus, CLOCK_GEN_REG_CODE_LOW, EfiSmbusWriteBlock, 2,
                         &Image[CLOCK_GEN_REG_CODE_LOW]);
}
