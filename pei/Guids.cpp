/** @file
  GUID constants of the PPIs and variables the module uses, in read-only
  data. The PPI GUIDs take their values from the PI definitions (MdePkg's
  under EDK II), the variable GUIDs from pei/PeiAccess.h. Under EDK II the
  module keeps its own constant copies rather than AutoGen.c's, which are
  writable data, so that the image has none.
**/
#include "pei/PeiAccess.h"

extern "C" {

const EFI_GUID gClockRampSmbus2PpiGuid = EFI_PEI_SMBUS2_PPI_GUID;
const EFI_GUID gClockRampVariablePpiGuid = EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID;
const EFI_GUID gClockRampPcdPpiGuid = PCD_PPI_GUID;
const EFI_GUID gClockRampSetupGuid = SETUP_VARIABLE_GUID;
const EFI_GUID gClockRampPchRcConfigurationGuid = PCH_RC_CONFIGURATION_GUID;

}  // extern "C"
