/** @file
  The clock generator at SMBus address 0x6B as the simulated board models
  it, so that the firmware run and the native run see the same device:
  256 one-byte registers reached by block transactions of at most 32 bytes,
  register 8 reporting the byte count (the last value written, or a fixed
  count), the register pointer wrapping within a transaction, and failures
  injected by transaction number, counted over every Execute (an error fails
  the transaction, a warning is answered after it was carried out).
**/
#include "qemu/peim/HelperPeim.h"

namespace {

constexpr UINTN kAddress = 0x6B;
constexpr UINT8 kByteCountRegister = 8;
constexpr UINTN kMaxBlock = 32;

/** A register as a read delivers it. @param[in] Model The device. @param[in] Reg The register. **/
UINT8 ReadBack(const CLOCK_GEN_MODEL *Model, UINT8 Reg) {
  if (Reg == kByteCountRegister && Model->ReportedCount != NO_REPORTED_COUNT) {
    return static_cast<UINT8>(Model->ReportedCount);
  }
  return Model->Registers[Reg];
}

/**
  The injected status of a transaction, if any.

  @retval EFI_SUCCESS  None is injected; anything else: the status to answer.
**/
EFI_STATUS Injected(const CLOCK_GEN_MODEL *Model, UINT32 Index) {
  for (UINT32 i = 0; i < Model->FailureCount; ++i) {
    if (Model->FailureTransaction[i] == Index) {
      return Model->FailureStatus[i];
    }
  }
  return EFI_SUCCESS;
}

/**
  The status the device itself answers before it transfers anything.

  @retval EFI_SUCCESS  It goes ahead; anything else: the transaction fails with it.
**/
EFI_STATUS Refusal(UINTN Address, UINTN Command, UINTN Operation, UINTN Length) {
  if (Address != kAddress) {
    return EFI_DEVICE_ERROR;
  }
  if (Operation != EfiSmbusWriteBlock && Operation != EfiSmbusReadBlock) {
    return EFI_UNSUPPORTED;
  }
  if (Command > 0xFF || Length > kMaxBlock) {
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS ClockGenModelExecute(CLOCK_GEN_MODEL *Model, UINTN Address, UINTN Command,
                                UINTN Operation, UINTN *Length, UINT8 *Buffer) {
  UINT32 Index = Model->Transactions++;
  UINTN Asked = *Length;
  // An injected error fails the transaction before it starts; an injected
  // warning is answered after it was carried out as usual.
  EFI_STATUS Forced = Injected(Model, Index);
  EFI_STATUS Status = EfiError(Forced) ? Forced : Refusal(Address, Command, Operation, Asked);
  // The bytes a write sends, as the caller passed them.
  UINTN Sent = 0;
  if (Buffer != nullptr) {
    if (Operation == EfiSmbusWriteByte) {
      Sent = 1;
    } else if (Operation == EfiSmbusWriteWord || Operation == EfiSmbusProcessCall) {
      Sent = 2;
    } else if (Operation == EfiSmbusWriteBlock || Operation == EfiSmbusBWBRProcessCall) {
      Sent = Asked < kMaxBlock ? Asked : kMaxBlock;
    }
  }
  UINT32 Shown = static_cast<UINT32>(Sent);
  if (Status == EFI_SUCCESS) {
    auto Reg = static_cast<UINT8>(Command);
    if (Operation == EfiSmbusWriteBlock) {
      for (UINTN i = 0; i < Sent; ++i) {
        Model->Registers[static_cast<UINT8>(Reg + i)] = Buffer[i];
      }
    } else {
      UINTN Count = ReadBack(Model, kByteCountRegister);
      if (Asked < Count) {
        Count = Asked;
      }
      for (UINTN i = 0; i < Count; ++i) {
        UINT8 Byte = ReadBack(Model, static_cast<UINT8>(Reg + i));
        if (Buffer != nullptr) {
          Buffer[i] = Byte;
        }
      }
      *Length = Count;
      Shown = Buffer != nullptr ? static_cast<UINT32>(Count) : 0;
    }
    Status = Forced;  // EFI_SUCCESS, or the injected warning
  }
  // smbus <operation> <address> <command> <length in> <status> <length out> <bytes>
  LogText("crq smbus");
  LogHex(Operation);
  LogHex(Address);
  LogHex(Command);
  LogHex(Asked);
  LogHex(Status);
  LogHex(*Length);
  LogBytes(Buffer, Shown);
  LogEnd();
  return Status;
}
