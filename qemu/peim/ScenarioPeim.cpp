/** @file
  The scenario PEIM: dispatched right before the clock ramp module, it turns
  the firmware under QEMU into the scenario's board.

  - The LPC bridge's PMBASE (0x40) and ACPI_CNTL (0x44) get the scenario's
    values, so the module finds the ACPI I/O space as the scenario says.
  - A PCD PPI shim replaces the firmware's (ReInstallPpi): a copy of its
    function table whose Get64 answers token 5 with the scenario's value and
    passes other tokens on. The exit PEIM puts the firmware's back.
  - A read-only variable PPI over the scenario's variables replaces the
    firmware's, or is installed if there is none.
  - An SMBus2 PPI backed by the clock generator model is installed now
    (before the entry) or handed to the exit PEIM (after the entry).

  Every call the module makes to these PPIs is logged. The state between
  calls is the writable global gState (HELPER_GLOBAL: in the image's file
  bytes, so that the image can also run in place before memory).
**/
#include "pei/PeiAccess.h"  // the GUIDs the module uses (pei/Guids.cpp)
#include "qemu/peim/HelperPeim.h"

namespace {

constexpr UINTN kPcdPpiEntries = 31;  // the EDK II PCD PPI's function table
constexpr UINTN kPcdGet64Index = 4;
constexpr UINTN kPcieToken = 5;
constexpr UINTN kPpiFlags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;

const EFI_GUID kContextPpiGuid = HELPER_CONTEXT_PPI_GUID;

typedef UINT64(EFIAPI *PCD_GET64_ENTRY)(UINTN TokenNumber);

struct VARIABLE_ENTRY {
  CHAR16 Name[MAX_NAME_CHARS];
  EFI_GUID Guid;
  UINT32 Size;
  UINT32 Offset;  // of the data in the fw_cfg file
};

struct HELPER_STATE {
  SCENARIO_HEADER Header;
  CLOCK_GEN_MODEL Model;
  UINT32 VariableCount;
  VARIABLE_ENTRY Variables[MAX_VARIABLES];
  PCD_GET64_ENTRY OriginalGet64;
  VOID *PcdTable[kPcdPpiEntries];
  EFI_PEI_SMBUS2_PPI Smbus;
  EFI_PEI_READ_ONLY_VARIABLE2_PPI Variable;
  EFI_PEI_PPI_DESCRIPTOR SmbusDescriptor;
  EFI_PEI_PPI_DESCRIPTOR VariableDescriptor;
  EFI_PEI_PPI_DESCRIPTOR PcdDescriptor;
  EFI_PEI_PPI_DESCRIPTOR ContextDescriptor;
  HELPER_CONTEXT Context;
};

HELPER_STATE gState HELPER_GLOBAL;

/** Compares two GUIDs. @retval true  They are equal. **/
bool SameGuid(const EFI_GUID *A, const EFI_GUID *B) {
  const auto *X = reinterpret_cast<const UINT8 *>(A);
  const auto *Y = reinterpret_cast<const UINT8 *>(B);
  for (UINTN i = 0; i < sizeof(EFI_GUID); ++i) {
    if (X[i] != Y[i]) {
      return false;
    }
  }
  return true;
}

/** The PCD shim's Get64: token 5 from the scenario, others from the firmware. **/
UINT64 EFIAPI ShimGet64(UINTN TokenNumber) {
  UINT64 Value =
      TokenNumber == kPcieToken ? gState.Header.PcdToken5 : gState.OriginalGet64(TokenNumber);
  LogText("crq pcd");
  LogHex(TokenNumber);
  LogHex(Value);
  LogEnd();
  return Value;
}

/** The SMBus2 PPI's Execute: one transaction on the model (PEC is not modelled). **/
EFI_STATUS EFIAPI HelperSmbusExecute(const EFI_PEI_SMBUS2_PPI * /*This*/,
                                     EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                                     EFI_SMBUS_DEVICE_COMMAND Command,
                                     EFI_SMBUS_OPERATION Operation, BOOLEAN /*PecCheck*/,
                                     UINTN *Length, VOID *Buffer) {
  if (Length == nullptr) {
    LogText("crq smbus-null-length");
    LogEnd();
    return EFI_INVALID_PARAMETER;
  }
  return ClockGenModelExecute(&gState.Model, SlaveAddress.SmbusDeviceAddress, Command,
                              static_cast<UINTN>(Operation), Length, static_cast<UINT8 *>(Buffer));
}

/** Logs a GetVariable call: status, size in, size out, GUID, name. **/
void LogVariable(EFI_STATUS Status, UINTN SizeIn, UINTN SizeOut, const EFI_GUID *Guid,
                 const CHAR16 *Name) {
  LogText("crq var");
  LogHex(Status);
  LogHex(SizeIn);
  LogHex(SizeOut);
  LogBytes(Guid, sizeof(EFI_GUID));
  UINT32 Chars = 0;
  while (Chars < MAX_NAME_CHARS && Name[Chars] != 0) {
    ++Chars;
  }
  LogBytes(Name, Chars * 2);
  LogEnd();
}

/**
  The variable PPI's GetVariable over the scenario's variables: unknown name
  or GUID EFI_NOT_FOUND, a buffer too small EFI_BUFFER_TOO_SMALL with the size
  needed, otherwise the data, its size and attributes 7.
**/
EFI_STATUS EFIAPI HelperGetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI * /*This*/,
                                    const CHAR16 *VariableName, const EFI_GUID *VariableGuid,
                                    UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  if (VariableName == nullptr || VariableGuid == nullptr || DataSize == nullptr) {
    LogText("crq var-null");
    LogEnd();
    return EFI_INVALID_PARAMETER;
  }
  UINTN SizeIn = *DataSize;
  EFI_STATUS Status = EFI_NOT_FOUND;
  for (UINT32 v = 0; v < gState.VariableCount; ++v) {
    const VARIABLE_ENTRY &Entry = gState.Variables[v];
    UINT32 i = 0;
    while (i < MAX_NAME_CHARS && Entry.Name[i] != 0 && Entry.Name[i] == VariableName[i]) {
      ++i;
    }
    if (i == MAX_NAME_CHARS || Entry.Name[i] != VariableName[i] ||
        !SameGuid(&Entry.Guid, VariableGuid)) {
      continue;
    }
    if (SizeIn < Entry.Size) {
      Status = EFI_BUFFER_TOO_SMALL;
    } else {
      UINT32 Size = 0;
      if (FwCfgSelectFile(SCENARIO_FW_CFG_NAME, &Size) != EFI_SUCCESS) {
        return EFI_DEVICE_ERROR;
      }
      FwCfgRead(nullptr, Entry.Offset);
      FwCfgRead(Data, Data != nullptr ? Entry.Size : 0);
      if (Attributes != nullptr) {
        *Attributes = 7;
      }
      Status = EFI_SUCCESS;
    }
    *DataSize = Entry.Size;
    break;
  }
  LogVariable(Status, SizeIn, *DataSize, VariableGuid, VariableName);
  return Status;
}

/** NextVariableName is not offered. **/
EFI_STATUS EFIAPI HelperNextVariableName(const EFI_PEI_READ_ONLY_VARIABLE2_PPI * /*This*/,
                                         UINTN * /*VariableNameSize*/, CHAR16 * /*VariableName*/,
                                         EFI_GUID * /*VariableGuid*/) {
  LogText("crq next-variable-name");
  LogEnd();
  return EFI_UNSUPPORTED;
}

/**
  Takes Count bytes of what is left of the scenario file.

  @param[in,out] Left   Bytes of the file not yet read.
  @param[in]     Count  Bytes about to be read.

  @retval true   They are there; Left no longer counts them.
  @retval false  The file ends first.
**/
bool Take(UINT32 *Left, UINT32 Count) {
  if (Count > *Left) {
    return false;
  }
  *Left -= Count;
  return true;
}

/**
  Reads the scenario from fw_cfg into gState. fw_cfg streams the file one
  port read a byte and answers zeros past its end, so every piece is held to
  what is left of the file before it is read: a count taken from the file
  must not keep the PEIM reading (a size near 4 GiB would hang the boot).

  @retval EFI_SUCCESS  Read.
  @retval other        Missing or malformed (already logged).
**/
EFI_STATUS ReadScenario() {
  UINT32 Size = 0;
  if (FwCfgSelectFile(SCENARIO_FW_CFG_NAME, &Size) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  UINT32 Left = Size;
  if (!Take(&Left, sizeof(SCENARIO_HEADER))) {
    return EFI_LOAD_ERROR;
  }
  FwCfgRead(&gState.Header, sizeof(SCENARIO_HEADER));
  const SCENARIO_HEADER &H = gState.Header;
  if (H.Magic != SCENARIO_MAGIC || H.Version != SCENARIO_VERSION || H.FailureCount > MAX_FAILURES ||
      H.VariableCount > MAX_VARIABLES || !Take(&Left, 256 + H.FailureCount * 8)) {
    return EFI_LOAD_ERROR;
  }
  FwCfgRead(gState.Model.Registers, 256);
  gState.Model.ReportedCount = H.ReportedCount;
  gState.Model.FailureCount = H.FailureCount;
  for (UINT32 i = 0; i < H.FailureCount; ++i) {
    FwCfgRead(&gState.Model.FailureTransaction[i], 4);
    FwCfgRead(&gState.Model.FailureStatus[i], 4);
  }
  gState.VariableCount = H.VariableCount;
  for (UINT32 v = 0; v < H.VariableCount; ++v) {
    VARIABLE_ENTRY &Entry = gState.Variables[v];
    UINT32 NameBytes = 0;
    if (!Take(&Left, 4 + sizeof(EFI_GUID) + 4)) {
      return EFI_LOAD_ERROR;
    }
    FwCfgRead(&NameBytes, 4);
    FwCfgRead(&Entry.Guid, sizeof(EFI_GUID));
    FwCfgRead(&Entry.Size, 4);
    if (NameBytes > sizeof(Entry.Name) || NameBytes < 2 || !Take(&Left, NameBytes)) {
      return EFI_LOAD_ERROR;
    }
    FwCfgRead(Entry.Name, NameBytes);
    Entry.Offset = Size - Left;
    if (!Take(&Left, Entry.Size)) {
      return EFI_LOAD_ERROR;
    }
    FwCfgRead(nullptr, Entry.Size);
  }
  return Left == 0 ? EFI_SUCCESS : EFI_LOAD_ERROR;
}

/**
  Opens q35's PCI Express configuration window at 0xB0000000 (MCH PCIEXBAR,
  00:00.0 register 0x60: base, 256 MiB, enable) when the firmware has not yet,
  as before memory, when the helpers run from the apriori file.
**/
void EnableEcam() {
  constexpr UINT32 kPciexbar = 0x80000000U | 0x60U;  // 00:00.0 register 0x60
  HelperOut32(0xCF8, kPciexbar);
  if ((HelperIn32(0xCFC) & 1U) != 0) {
    return;
  }
  HelperOut32(0xCF8, kPciexbar + 4);
  HelperOut32(0xCFC, 0);
  HelperOut32(0xCF8, kPciexbar);
  HelperOut32(0xCFC, 0xB0000000U | 1U);
  LogText("crq ecam-enabled");
  LogEnd();
}

/** Puts the scenario's ACPI registers into the LPC bridge; ACPI_CNTL first, off. **/
void ProgramAcpi() {
  UINT32 Control = LpcRead32(0x44);
  LpcWrite32(0x44, Control & ~0xFFU);
  UINT32 Base = LpcRead32(0x40);
  LpcWrite32(0x40, (Base & 0xFFFF0000U) | gState.Header.AcpiBase);
  LpcWrite32(0x44, (Control & ~0xFFU) | gState.Header.AcpiControl);
}

/**
  Puts a PPI of ours in place of the firmware's first instance of the GUID,
  or installs it when there is none.

  @return The firmware's descriptor that was replaced, or NULL.
**/
const EFI_PEI_PPI_DESCRIPTOR *Replace(const EFI_PEI_SERVICES **PeiServices, const EFI_GUID *Guid,
                                      const EFI_PEI_PPI_DESCRIPTOR *Ours, VOID **OldPpi) {
  EFI_PEI_PPI_DESCRIPTOR *Old = nullptr;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, Guid, 0, &Old, OldPpi);
  if (Status == EFI_SUCCESS && Old != nullptr) {
    Status = (*PeiServices)->ReInstallPpi(PeiServices, Old, Ours);
    LogText("crq reinstall");
  } else {
    Old = nullptr;
    Status = (*PeiServices)->InstallPpi(PeiServices, Ours);
    LogText("crq install");
  }
  LogBytes(Guid, sizeof(EFI_GUID));
  LogHex(Status);
  LogEnd();
  return Old;
}

}  // namespace

/**
  Entry point of the scenario PEIM.

  @param[in] FileHandle   Not used.
  @param[in] PeiServices  The PEI services.

  @retval EFI_SUCCESS  The board is set up (or the scenario could not be read,
                       which the log says; the exit PEIM then stops QEMU).
**/
extern "C" EFI_STATUS EFIAPI ScenarioPeimEntry(EFI_PEI_FILE_HANDLE /*FileHandle*/,
                                               const EFI_PEI_SERVICES **PeiServices) {
  LogText("crq scenario-peim");
  LogEnd();
  EFI_STATUS Status = ReadScenario();
  if (Status != EFI_SUCCESS) {
    LogText("crq scenario-error");
    LogHex(Status);
    LogEnd();
    return Status;
  }
  EnableEcam();
  ProgramAcpi();

  VOID *OldPcd = nullptr;
  EFI_PEI_PPI_DESCRIPTOR *PcdOld = nullptr;
  if ((*PeiServices)->LocatePpi(PeiServices, &gClockRampPcdPpiGuid, 0, &PcdOld, &OldPcd) == EFI_SUCCESS &&
      OldPcd != nullptr) {
    VOID *const *Table = static_cast<VOID *const *>(OldPcd);
    for (UINTN i = 0; i < kPcdPpiEntries; ++i) {
      gState.PcdTable[i] = Table[i];
    }
    gState.OriginalGet64 = reinterpret_cast<PCD_GET64_ENTRY>(Table[kPcdGet64Index]);
    gState.PcdTable[kPcdGet64Index] = reinterpret_cast<VOID *>(ShimGet64);
    gState.PcdDescriptor = {kPpiFlags, &gClockRampPcdPpiGuid, gState.PcdTable};
    VOID *Ignored = nullptr;
    gState.Context.PcdOld = Replace(PeiServices, &gClockRampPcdPpiGuid, &gState.PcdDescriptor, &Ignored);
    gState.Context.PcdShim = &gState.PcdDescriptor;
  }

  gState.Variable = {HelperGetVariable, HelperNextVariableName};
  gState.VariableDescriptor = {kPpiFlags, &gClockRampVariablePpiGuid, &gState.Variable};
  VOID *OldVariable = nullptr;
  Replace(PeiServices, &gClockRampVariablePpiGuid, &gState.VariableDescriptor,
          &OldVariable);

  gState.Smbus.Execute = HelperSmbusExecute;
  gState.Smbus.Identifier = EFI_PEI_SMBUS2_PPI_GUID;
  gState.SmbusDescriptor = {kPpiFlags, &gClockRampSmbus2PpiGuid, &gState.Smbus};
  gState.Context.Smbus2 = &gState.SmbusDescriptor;
  gState.Context.Smbus2Timing = gState.Header.Smbus2Timing;
  gState.Context.Model = &gState.Model;
  gState.ContextDescriptor = {kPpiFlags, &kContextPpiGuid, &gState.Context};
  (*PeiServices)->InstallPpi(PeiServices, &gState.ContextDescriptor);

  // From here on every access belongs to the module (or the SMBus2 install).
  LogText("crq begin");
  LogEnd();
  if (gState.Header.Smbus2Timing == SMBUS2_BEFORE_ENTRY) {
    Status = (*PeiServices)->InstallPpi(PeiServices, &gState.SmbusDescriptor);
    LogText("crq smbus2-installed");
    LogHex(Status);
    LogEnd();
  }
  return EFI_SUCCESS;
}
