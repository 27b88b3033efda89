/** @file
  The module's own definitions of the UEFI PI types it uses, laid out as the
  public PI specification (volume 1, PEI) lays them out, so that the same code
  works against a real PEI Foundation on IA-32 and against the simulated board
  on the host. Built by EDK II, the module takes MdePkg's definitions instead
  (pei/PiDefs.h), and tests/edk2/PiDefsCheck.cpp checks these
  against them.

  Freestanding: only <stdint.h> and <stddef.h>.
**/
#ifndef CLOCKRAMP_PEI_PIOWNDEFS_H_
#define CLOCKRAMP_PEI_PIOWNDEFS_H_

#include <stddef.h>
#include <stdint.h>

//
// Firmware calling convention: cdecl on IA-32, the platform default elsewhere.
//
#if defined(__i386__) || defined(_M_IX86)
#define EFIAPI __attribute__((cdecl))
#else
#define EFIAPI
#endif

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;
typedef uintptr_t UINTN;
typedef uint8_t BOOLEAN;
typedef uint16_t CHAR16;
typedef void VOID;

#define FALSE ((BOOLEAN)0)
#define TRUE ((BOOLEAN)1)

//
// Status codes. A status is a 32-bit value; it reports an error when it is
// negative as a signed 32-bit number.
//
typedef UINT32 EFI_STATUS;

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ((EFI_STATUS)0x80000001U)
#define EFI_INVALID_PARAMETER ((EFI_STATUS)0x80000002U)
#define EFI_UNSUPPORTED ((EFI_STATUS)0x80000003U)
#define EFI_BAD_BUFFER_SIZE ((EFI_STATUS)0x80000004U)
#define EFI_BUFFER_TOO_SMALL ((EFI_STATUS)0x80000005U)
#define EFI_NOT_READY ((EFI_STATUS)0x80000006U)
#define EFI_DEVICE_ERROR ((EFI_STATUS)0x80000007U)
#define EFI_WRITE_PROTECTED ((EFI_STATUS)0x80000008U)
#define EFI_OUT_OF_RESOURCES ((EFI_STATUS)0x80000009U)
#define EFI_NOT_FOUND ((EFI_STATUS)0x8000000EU)
#define EFI_ACCESS_DENIED ((EFI_STATUS)0x8000000FU)
#define EFI_TIMEOUT ((EFI_STATUS)0x80000012U)
#define EFI_ABORTED ((EFI_STATUS)0x80000015U)
#define EFI_CRC_ERROR ((EFI_STATUS)0x8000001BU)

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;

//
// PPI descriptors.
//
#define EFI_PEI_PPI_DESCRIPTOR_PPI 0x00000010U
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK 0x00000020U
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH 0x00000040U
#define EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST 0x80000000U

typedef struct _EFI_PEI_SERVICES EFI_PEI_SERVICES;
typedef struct _EFI_PEI_NOTIFY_DESCRIPTOR EFI_PEI_NOTIFY_DESCRIPTOR;

typedef struct {
  UINTN Flags;
  const EFI_GUID *Guid;
  VOID *Ppi;
} EFI_PEI_PPI_DESCRIPTOR;

typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(EFI_PEI_SERVICES **PeiServices,
                                                        EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                                        VOID *Ppi);

struct _EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};

typedef VOID *EFI_PEI_FILE_HANDLE;

//
// The PEI services table. Only the first four services are called by the
// module; the rest of the table follows them in a real Foundation and is
// never reached from here.
//
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                const EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REINSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                  const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                                  const EFI_PEI_PPI_DESCRIPTOR *NewPpi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_GUID *Guid, UINTN Instance,
                                               EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);

struct _EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_REINSTALL_PPI ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_NOTIFY_PPI NotifyPpi;
};

//
// EFI_PEI_READ_ONLY_VARIABLE2_PPI.
//
typedef struct _EFI_PEI_READ_ONLY_VARIABLE2_PPI EFI_PEI_READ_ONLY_VARIABLE2_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_VARIABLE2)(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This,
                                                  const CHAR16 *VariableName,
                                                  const EFI_GUID *VariableGuid, UINT32 *Attributes,
                                                  UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_NEXT_VARIABLE_NAME2)(
    const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This, UINTN *VariableNameSize, CHAR16 *VariableName,
    EFI_GUID *VariableGuid);

struct _EFI_PEI_READ_ONLY_VARIABLE2_PPI {
  EFI_PEI_GET_VARIABLE2 GetVariable;
  EFI_PEI_GET_NEXT_VARIABLE_NAME2 NextVariableName;
};

//
// EFI_PEI_SMBUS2_PPI.
//
typedef enum {
  EfiSmbusQuickRead = 0,
  EfiSmbusQuickWrite = 1,
  EfiSmbusReceiveByte = 2,
  EfiSmbusSendByte = 3,
  EfiSmbusReadByte = 4,
  EfiSmbusWriteByte = 5,
  EfiSmbusReadWord = 6,
  EfiSmbusWriteWord = 7,
  EfiSmbusReadBlock = 8,
  EfiSmbusWriteBlock = 9,
  EfiSmbusProcessCall = 10,
  EfiSmbusBWBRProcessCall = 11
} EFI_SMBUS_OPERATION;

/// Passed by value as one word; bits 6:0 carry the 7-bit device address.
typedef struct {
  UINTN SmbusDeviceAddress : 7;
} EFI_SMBUS_DEVICE_ADDRESS;

typedef UINTN EFI_SMBUS_DEVICE_COMMAND;

typedef struct _EFI_PEI_SMBUS2_PPI EFI_PEI_SMBUS2_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS2_PPI_EXECUTE_OPERATION)(
    const EFI_PEI_SMBUS2_PPI *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
    EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck,
    UINTN *Length, VOID *Buffer);

struct _EFI_PEI_SMBUS2_PPI {
  EFI_PEI_SMBUS2_PPI_EXECUTE_OPERATION Execute;
  VOID *ArpDevice;
  VOID *GetArpMap;
  VOID *Notify;
  EFI_GUID Identifier;
};

//
// PCD_PPI (platform configuration database). Only Get64, its fifth entry, is
// called; it takes the token number alone.
//
typedef UINT64(EFIAPI *PCD_PPI_GET64)(UINTN TokenNumber);

typedef struct {
  VOID *SetSku;
  VOID *Get8;
  VOID *Get16;
  VOID *Get32;
  PCD_PPI_GET64 Get64;
} PCD_PPI;

//
// The IDT register as SIDT stores it: a 16-bit limit followed by the base.
//
#pragma pack(push, 1)
typedef struct {
  UINT16 Limit;
  UINTN Base;
} IA32_DESCRIPTOR;
#pragma pack(pop)

//
// GUID values of the PPIs the module uses, in the form of an EFI_GUID
// initializer.
//
#define EFI_PEI_SMBUS2_PPI_GUID                                                    \
  {                                                                                \
    0x9CA93627, 0xB65B, 0x4324, { 0xA2, 0x02, 0xC0, 0xB4, 0x61, 0x76, 0x45, 0x43 } \
  }
#define EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID                                       \
  {                                                                                \
    0x2AB86EF5, 0xECB5, 0x4134, { 0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4 } \
  }
#define PCD_PPI_GUID                                                               \
  {                                                                                \
    0x06E81C58, 0x4AD7, 0x44BC, { 0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80 } \
  }

#endif  // CLOCKRAMP_PEI_PIOWNDEFS_H_
