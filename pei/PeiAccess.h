/** @file
  PEI services and hardware access: the GUIDs the module uses, the lookups of
  the PEI services table and of the PCI Express configuration base, and PCI
  configuration access.
**/
#ifndef CLOCKRAMP_PEI_PEIACCESS_H_
#define CLOCKRAMP_PEI_PEIACCESS_H_

#include "pei/PiDefs.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Vendor GUIDs of the "Setup" and "PchRcConfiguration" variables (initializers).
#define SETUP_VARIABLE_GUID                                                        \
  {                                                                                \
    0xEC87D643, 0xEBA4, 0x4BB5, { 0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9 } \
  }
#define PCH_RC_CONFIGURATION_GUID                                                  \
  {                                                                                \
    0xD19A26A3, 0x17F1, 0x48C3, { 0x8A, 0x1E, 0x11, 0xEB, 0x0A, 0x7F, 0x6E, 0x4E } \
  }

/// The GUIDs above and the PPI GUIDs of pei/PiDefs.h, as constants (pei/Guids.cpp).
extern const EFI_GUID gClockRampSmbus2PpiGuid;
extern const EFI_GUID gClockRampVariablePpiGuid;
extern const EFI_GUID gClockRampPcdPpiGuid;
extern const EFI_GUID gClockRampSetupGuid;
extern const EFI_GUID gClockRampPchRcConfigurationGuid;

/// PCD token holding the base of the memory-mapped PCI Express configuration space.
#define PCD_PCIE_BASE_TOKEN 5

/// Address of register R of bus B, device D, function F, relative to the base.
#define PCI_CFG_OFFSET(B, D, F, R) \
  (((UINT32)(B) << 20) | ((UINT32)(D) << 15) | ((UINT32)(F) << 12) | (UINT32)(R))

/**
  Finds the PEI services table pointer that the PEI Foundation keeps in the
  pointer-sized slot immediately below the IDT base.

  @return The PEI services pointer.
**/
EFI_PEI_SERVICES **FindPeiServices(void);

/**
  Locates the PCD PPI.

  @param[out] Ppi  Receives the PPI's interface on success.

  @return The status of LocatePpi.
**/
EFI_STATUS FindPcdService(PCD_PPI **Ppi);

/**
  Returns the base of the memory-mapped PCI Express configuration space: the
  low 32 bits of PCD token 5. Looked up anew on every call.

  @return The base, or 0 when the PCD PPI cannot be located.
**/
UINT32 GetPcieConfigBase(void);

/**
  Reads an 8-bit PCI configuration register.

  @return The value read, or 0xFF (an absent function) when there is no base.
**/
UINT8 PciCfgRead8(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register);

/**
  Writes an 8-bit PCI configuration register; does nothing when there is no base.
**/
void PciCfgWrite8(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register, UINT8 Value);

/**
  Writes a 16-bit PCI configuration register; does nothing when there is no base.
**/
void PciCfgWrite16(UINT8 Bus, UINT8 Device, UINT8 Function, UINT16 Register, UINT16 Value);

#ifdef __cplusplus
}
#endif

#endif  // CLOCKRAMP_PEI_PEIACCESS_H_
