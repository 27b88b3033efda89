/** @file
  Compile-time check of the module's own PI definitions (pei/PiOwnDefs.h)
  against EDK II's MdePkg: every type we define has MdePkg's size, field
  offsets and field sizes (our tables that stop early, the PEI services table
  and PCD_PPI, are checked as far as they go); every integer type is MdePkg's
  type; every function pointer takes as many arguments, of the same sizes and
  kinds, in the same calling convention; every status code, descriptor flag,
  SMBus operation and GUID has MdePkg's value. A difference fails the compile.

  Built for IA-32 by scripts/edk2.sh, against MdePkg's include folders, twice:
  with EDK II's GCC5 flags and with the flags of the project's own image.
**/
#include <stddef.h>
#include <stdint.h>

// The status codes and descriptor flags, each checked by name: the list is
// expanded once among ours and once among MdePkg's.
#define CHECKED_CONSTANTS(X)                \
  X(EFI_SUCCESS)                            \
  X(EFI_LOAD_ERROR)                         \
  X(EFI_INVALID_PARAMETER)                  \
  X(EFI_UNSUPPORTED)                        \
  X(EFI_BAD_BUFFER_SIZE)                    \
  X(EFI_BUFFER_TOO_SMALL)                   \
  X(EFI_NOT_READY)                          \
  X(EFI_DEVICE_ERROR)                       \
  X(EFI_WRITE_PROTECTED)                    \
  X(EFI_OUT_OF_RESOURCES)                   \
  X(EFI_NOT_FOUND)                          \
  X(EFI_ACCESS_DENIED)                      \
  X(EFI_TIMEOUT)                            \
  X(EFI_ABORTED)                            \
  X(EFI_CRC_ERROR)                          \
  X(EFI_PEI_PPI_DESCRIPTOR_PPI)             \
  X(EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) \
  X(EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH) \
  X(EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST)
#define AS_CONSTANT(Name) {#Name, Name},

//
// Ours first, in a namespace of their own, and their macros captured as
// values before they are undefined to make room for MdePkg's.
//
namespace own {
#include "pei/PiOwnDefs.h"

using EfiApiFunction = UINT32(EFIAPI *)(UINT32);
using VoidType = VOID;  // MdePkg's VOID is a macro
constexpr BOOLEAN kFalse = FALSE;
constexpr BOOLEAN kTrue = TRUE;

struct Constant {
  const char *Name;
  UINT32 Value;
};
constexpr Constant kConstants[] = {CHECKED_CONSTANTS(AS_CONSTANT)};

constexpr EFI_GUID kSmbus2PpiGuid = EFI_PEI_SMBUS2_PPI_GUID;
constexpr EFI_GUID kReadOnlyVariable2PpiGuid = EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID;
constexpr EFI_GUID kPcdPpiGuid = PCD_PPI_GUID;
}  // namespace own

#undef EFIAPI
#undef FALSE
#undef TRUE
#undef EFI_SUCCESS
#undef EFI_LOAD_ERROR
#undef EFI_INVALID_PARAMETER
#undef EFI_UNSUPPORTED
#undef EFI_BAD_BUFFER_SIZE
#undef EFI_BUFFER_TOO_SMALL
#undef EFI_NOT_READY
#undef EFI_DEVICE_ERROR
#undef EFI_WRITE_PROTECTED
#undef EFI_OUT_OF_RESOURCES
#undef EFI_NOT_FOUND
#undef EFI_ACCESS_DENIED
#undef EFI_TIMEOUT
#undef EFI_ABORTED
#undef EFI_CRC_ERROR
#undef EFI_PEI_PPI_DESCRIPTOR_PPI
#undef EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK
#undef EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH
#undef EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST
#undef EFI_PEI_SMBUS2_PPI_GUID
#undef EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID
#undef PCD_PPI_GUID
#undef NULL  // <stddef.h>'s; Base.h defines its own

//
// MdePkg's, as an EDK II build sees them.
//
#include <PiPei.h>
// The rest need PiPei.h first.
#include <Library/BaseLib.h>
#include <Ppi/Pcd.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Smbus2.h>

namespace {

template <class A, class B>
struct IsSame {
  static constexpr bool kValue = false;
};
template <class A>
struct IsSame<A, A> {
  static constexpr bool kValue = true;
};

template <class T>
struct IsPointer {
  static constexpr bool kValue = false;
};
template <class T>
struct IsPointer<T *> {
  static constexpr bool kValue = true;
};

// The shape of a function pointer type: return size, and each argument's size
// and whether it is a pointer. The calling convention is part of the type,
// so a pointer of another convention has no shape here and fails to compile.
template <class F>
struct Shape;
template <class R, class... A>
struct Shape<R (*)(A...)> {
  static constexpr unsigned kReturnSize = sizeof(R);
  static constexpr unsigned kArity = sizeof...(A);
  static constexpr unsigned kSizes[sizeof...(A) + 1] = {sizeof(A)..., 0};
  static constexpr bool kPointers[sizeof...(A) + 1] = {IsPointer<A>::kValue..., false};
};

template <class F, class G>
constexpr bool SameShape() {
  using Ours = Shape<F>;
  using Theirs = Shape<G>;
  if (Ours::kReturnSize != Theirs::kReturnSize || Ours::kArity != Theirs::kArity) {
    return false;
  }
  for (unsigned I = 0; I < Ours::kArity; ++I) {
    if (Ours::kSizes[I] != Theirs::kSizes[I] || Ours::kPointers[I] != Theirs::kPointers[I]) {
      return false;
    }
  }
  return true;
}

constexpr bool SameGuid(const own::EFI_GUID &Ours, const EFI_GUID &Theirs) {
  if (Ours.Data1 != Theirs.Data1 || Ours.Data2 != Theirs.Data2 || Ours.Data3 != Theirs.Data3) {
    return false;
  }
  for (unsigned I = 0; I < 8; ++I) {
    if (Ours.Data4[I] != Theirs.Data4[I]) {
      return false;
    }
  }
  return true;
}

constexpr bool Equal(const char *A, const char *B) {
  while (*A != 0 && *A == *B) {
    ++A;
    ++B;
  }
  return *A == *B;
}

// MdePkg's value of each of our constants, by name.
struct Constant {
  const char *Name;
  UINT32 Value;
};
constexpr Constant kMdeConstants[] = {CHECKED_CONSTANTS(AS_CONSTANT)};

// The first of our constants whose value differs from MdePkg's (or that
// MdePkg lacks), or nullptr.
constexpr const char *FirstDifferentConstant() {
  for (const own::Constant &Ours : own::kConstants) {
    bool Found = false;
    for (const Constant &Theirs : kMdeConstants) {
      if (Equal(Ours.Name, Theirs.Name)) {
        Found = Ours.Value == Theirs.Value;
      }
    }
    if (!Found) {
      return Ours.Name;
    }
  }
  return nullptr;
}

}  // namespace

#define CHECK_SIZE(T) static_assert(sizeof(own::T) == sizeof(T), "size of " #T)
// Offset and size of a field of ours against MdePkg's field of the same name.
#define CHECK_FIELD(T, F)                                                       \
  static_assert(offsetof(own::T, F) == offsetof(T, F), "offset of " #T "." #F); \
  static_assert(sizeof(own::T::F) == sizeof(T::F), "size of " #T "." #F)
#define CHECK_TYPE(T) static_assert(IsSame<own::T, T>::kValue, #T " is MdePkg's type")
#define CHECK_SHAPE(T) static_assert(SameShape<own::T, T>(), "arguments of " #T)

// Integer types: the very same types.
CHECK_TYPE(UINT8);
CHECK_TYPE(UINT16);
CHECK_TYPE(UINT32);
CHECK_TYPE(UINT64);
CHECK_TYPE(INT32);
CHECK_TYPE(UINTN);
CHECK_TYPE(BOOLEAN);
CHECK_TYPE(CHAR16);
CHECK_TYPE(EFI_STATUS);
CHECK_TYPE(EFI_SMBUS_DEVICE_COMMAND);
static_assert(IsSame<own::VoidType, VOID>::kValue, "VOID");
CHECK_SIZE(EFI_PEI_FILE_HANDLE);
static_assert(IsPointer<own::EFI_PEI_FILE_HANDLE>::kValue, "EFI_PEI_FILE_HANDLE is a pointer");

static_assert(own::kFalse == FALSE && own::kTrue == TRUE, "TRUE and FALSE");
static_assert(IsSame<own::EfiApiFunction, UINT32(EFIAPI *)(UINT32)>::kValue,
              "EFIAPI is MdePkg's calling convention");

static_assert(FirstDifferentConstant() == nullptr, "a status code or flag differs from MdePkg's");

static_assert(SameGuid(own::kSmbus2PpiGuid, EFI_GUID(EFI_PEI_SMBUS2_PPI_GUID)),
              "EFI_PEI_SMBUS2_PPI_GUID");
static_assert(SameGuid(own::kReadOnlyVariable2PpiGuid,
                       EFI_GUID(EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID)),
              "EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID");
static_assert(SameGuid(own::kPcdPpiGuid, EFI_GUID(PCD_PPI_GUID)), "PCD_PPI_GUID");

CHECK_SIZE(EFI_GUID);
CHECK_FIELD(EFI_GUID, Data1);
CHECK_FIELD(EFI_GUID, Data2);
CHECK_FIELD(EFI_GUID, Data3);
CHECK_FIELD(EFI_GUID, Data4);

CHECK_SIZE(EFI_TABLE_HEADER);
CHECK_FIELD(EFI_TABLE_HEADER, Signature);
CHECK_FIELD(EFI_TABLE_HEADER, Revision);
CHECK_FIELD(EFI_TABLE_HEADER, HeaderSize);
CHECK_FIELD(EFI_TABLE_HEADER, CRC32);
CHECK_FIELD(EFI_TABLE_HEADER, Reserved);

CHECK_SIZE(EFI_PEI_PPI_DESCRIPTOR);
CHECK_FIELD(EFI_PEI_PPI_DESCRIPTOR, Flags);
CHECK_FIELD(EFI_PEI_PPI_DESCRIPTOR, Guid);
CHECK_FIELD(EFI_PEI_PPI_DESCRIPTOR, Ppi);

CHECK_SIZE(EFI_PEI_NOTIFY_DESCRIPTOR);
CHECK_FIELD(EFI_PEI_NOTIFY_DESCRIPTOR, Flags);
CHECK_FIELD(EFI_PEI_NOTIFY_DESCRIPTOR, Guid);
CHECK_FIELD(EFI_PEI_NOTIFY_DESCRIPTOR, Notify);
CHECK_SHAPE(EFI_PEIM_NOTIFY_ENTRY_POINT);

// Our services table stops after NotifyPpi; up to there it is MdePkg's.
static_assert(sizeof(own::EFI_PEI_SERVICES) <= sizeof(EFI_PEI_SERVICES), "EFI_PEI_SERVICES");
CHECK_FIELD(EFI_PEI_SERVICES, Hdr);
CHECK_FIELD(EFI_PEI_SERVICES, InstallPpi);
CHECK_FIELD(EFI_PEI_SERVICES, ReInstallPpi);
CHECK_FIELD(EFI_PEI_SERVICES, LocatePpi);
CHECK_FIELD(EFI_PEI_SERVICES, NotifyPpi);
CHECK_SHAPE(EFI_PEI_INSTALL_PPI);
CHECK_SHAPE(EFI_PEI_REINSTALL_PPI);
CHECK_SHAPE(EFI_PEI_LOCATE_PPI);
CHECK_SHAPE(EFI_PEI_NOTIFY_PPI);

CHECK_SIZE(EFI_PEI_READ_ONLY_VARIABLE2_PPI);
CHECK_FIELD(EFI_PEI_READ_ONLY_VARIABLE2_PPI, GetVariable);
CHECK_FIELD(EFI_PEI_READ_ONLY_VARIABLE2_PPI, NextVariableName);
CHECK_SHAPE(EFI_PEI_GET_VARIABLE2);
CHECK_SHAPE(EFI_PEI_GET_NEXT_VARIABLE_NAME2);

CHECK_SIZE(EFI_SMBUS_OPERATION);
#define CHECK_ENUM(E) static_assert(static_cast<int>(own::E) == static_cast<int>(E), #E)
CHECK_ENUM(EfiSmbusQuickRead);
CHECK_ENUM(EfiSmbusQuickWrite);
CHECK_ENUM(EfiSmbusReceiveByte);
CHECK_ENUM(EfiSmbusSendByte);
CHECK_ENUM(EfiSmbusReadByte);
CHECK_ENUM(EfiSmbusWriteByte);
CHECK_ENUM(EfiSmbusReadWord);
CHECK_ENUM(EfiSmbusWriteWord);
CHECK_ENUM(EfiSmbusReadBlock);
CHECK_ENUM(EfiSmbusWriteBlock);
CHECK_ENUM(EfiSmbusProcessCall);
CHECK_ENUM(EfiSmbusBWBRProcessCall);

// Passed by value as one word: the address in bits 6:0 of the same word
// (clang 14 cannot read a bit-field in a constant expression; GCC can).
CHECK_SIZE(EFI_SMBUS_DEVICE_ADDRESS);
#if !defined(__clang__)
template <class T>
constexpr UINTN AddressField(UINTN Word) {
  return __builtin_bit_cast(T, Word).SmbusDeviceAddress;
}
static_assert(AddressField<own::EFI_SMBUS_DEVICE_ADDRESS>(0x6B) ==
                      AddressField<EFI_SMBUS_DEVICE_ADDRESS>(0x6B) &&
                  AddressField<own::EFI_SMBUS_DEVICE_ADDRESS>(0xEB) ==
                      AddressField<EFI_SMBUS_DEVICE_ADDRESS>(0xEB) &&
                  AddressField<own::EFI_SMBUS_DEVICE_ADDRESS>(0x16B00) ==
                      AddressField<EFI_SMBUS_DEVICE_ADDRESS>(0x16B00),
              "EFI_SMBUS_DEVICE_ADDRESS bits");
#endif

CHECK_SIZE(EFI_PEI_SMBUS2_PPI);
CHECK_FIELD(EFI_PEI_SMBUS2_PPI, Execute);
CHECK_FIELD(EFI_PEI_SMBUS2_PPI, ArpDevice);
CHECK_FIELD(EFI_PEI_SMBUS2_PPI, GetArpMap);
CHECK_FIELD(EFI_PEI_SMBUS2_PPI, Notify);
CHECK_FIELD(EFI_PEI_SMBUS2_PPI, Identifier);
CHECK_SHAPE(EFI_PEI_SMBUS2_PPI_EXECUTE_OPERATION);

// Our PCD_PPI stops after Get64; up to there it is MdePkg's.
static_assert(sizeof(own::PCD_PPI) <= sizeof(PCD_PPI), "PCD_PPI");
CHECK_FIELD(PCD_PPI, SetSku);
CHECK_FIELD(PCD_PPI, Get8);
CHECK_FIELD(PCD_PPI, Get16);
CHECK_FIELD(PCD_PPI, Get32);
CHECK_FIELD(PCD_PPI, Get64);
CHECK_SHAPE(PCD_PPI_GET64);

CHECK_SIZE(IA32_DESCRIPTOR);
CHECK_FIELD(IA32_DESCRIPTOR, Limit);
CHECK_FIELD(IA32_DESCRIPTOR, Base);
