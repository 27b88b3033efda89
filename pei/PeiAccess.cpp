/** @file
  PEI services lookup, PCD lookup and PCI Express configuration access.
**/
#include "pei/PeiAccess.h"

#include "pei/Platform.h"

/**
  Finds the PEI services pointer: SIDT into a local descriptor, then the
  pointer stored in the slot just below the IDT base.
**/
EFI_PEI_SERVICES **FindPeiServices(void) {
  IA32_DESCRIPTOR Idtr;
  AsmReadIdtr(&Idtr);
  return *(EFI_PEI_SERVICES ***)(Idtr.Base - sizeof(UINTN));
}

/**
  Locates the first instance of the PCD PPI through the PEI services found
  from the IDT.
**/
EFI_STATUS FindPcdService(PCD_PPI **Ppi) {
  const EFI_PEI_SERVICES **PeiServices = (const EFI_PEI_SERVICES **)FindPeiServices();
  return (*PeiServices)->LocatePpi(PeiServices, &gClockRampPcdPpiGuid, 0, NULL, (VOID **)Ppi);
}

/**
  Reads PCD token 5 through a freshly located PCD PPI and keeps its low 32
  bits. Without a PCD PPI nothing is called and the result is 0.
**/
UINT32 GetPcieConfigBase(void) {
  PCD_PPI *Pcd = NULL;
  EFI_STATUS Status = FindPcdService(&Pcd);
  if (EfiError(Status) || Pcd == NULL) {
    return 0;
  }
  return (UINT32)Pcd->Get64(PCD_PCIE_BASE_TOKEN);
}

UINT8 PciCfgRead8(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register) {
  UINT32 Base = GetPcieConfigBase();
  if (Base == 0) {
    return 0xFF;
  }
  return MmioRead8(Base + PCI_CFG_OFFSET(Bus, Device, Function, Register));
}

void PciCfgWrite8(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register, UINT8 Value) {
  UINT32 Base = GetPcieConfigBase();
  if (Base != 0) {
    MmioWrite8(Base + PCI_CFG_OFFSET(Bus, Device, Function, Register), Value);
  }
}

void PciCfgWrite16(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register, UINT16 Value) {
  UINT32 Base = GetPcieConfigBase();
  if (Base != 0) {
    MmioWrite16(Base + PCI_CFG_OFFSET(Bus, Device, Function, Register), Value);
  }
}
