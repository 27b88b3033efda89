// The firmware QEMU boots: the IA-32 image of the ovmf-ia32 package with the
// scenario PEIM, the module and the exit PEIM added to its PEI volume in that
// order (clockramp-fv's insert), so that the PEI core dispatches them one
// after the other once their dependency (the PCD PPI) is met: after memory,
// following the firmware's PEIMs, or before memory through the apriori file.
#ifndef CLOCKRAMP_QEMU_FIRMWARE_H_
#define CLOCKRAMP_QEMU_FIRMWARE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qemu {

// Debian's ovmf-ia32 files.
inline constexpr const char* kOvmfCode = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
inline constexpr const char* kOvmfVars = "/usr/share/OVMF/OVMF32_VARS_4M.fd";
// Where that firmware decompresses its PEI volume to.
inline constexpr uint64_t kOvmfPeiVolumeAddress = 0x820000;
// Its temporary RAM before memory (stack and heap), right below that volume:
// a PEIM dispatched before memory runs on a stack in here.
inline constexpr uint64_t kOvmfTempRamBase = 0x810000;
inline constexpr uint64_t kOvmfTempRamSize = 0x10000;

struct FirmwareInputs {
  std::string ovmfCode = kOvmfCode;
  std::string module;        // ClockRamp.efi
  std::string scenarioPeim;  // ScenarioPeim.efi
  std::string exitPeim;      // ExitPeim.efi
  // List the three files in the PEI apriori file too: the core dispatches
  // them before memory, right after the firmware's own apriori PEIMs, and
  // they run in place at the addresses they were rebased for.
  bool beforeMemory = false;
};

// The images of this build (the module and both helpers), the packaged
// firmware file and where this build keeps the prepared image.
FirmwareInputs DefaultFirmwareInputs(bool beforeMemory = false);
std::string DefaultFirmwarePath(bool beforeMemory = false);
// Where the firmware with another module image (`clockramp run --image`) is
// kept: in the system's temporary folder, one file per image path.
std::string FirmwarePathForImage(const std::string& module, bool beforeMemory = false);

// The firmware image with the three files added. Throws std::runtime_error
// (or the insert's own errors) when an input is missing or does not fit.
std::vector<uint8_t> BuildFirmware(const FirmwareInputs& inputs);

// Where a PEIM's image lies in the PEI volume of a prepared firmware while
// that volume runs (at kOvmfPeiVolumeAddress), and what its headers say.
struct PlacedImage {
  uint64_t address = 0;    // of the image's first byte
  uint64_t imageBase = 0;  // the ImageBase it was rebased for
  uint32_t entry = 0;      // entry point RVA
  uint32_t size = 0;       // SizeOfImage
};

// The module's image (file ClockRamp) in a prepared firmware. Throws
// std::runtime_error when the firmware holds no such file with a PE32 image.
PlacedImage PlacedModule(const std::string& firmware);

// Writes BuildFirmware's image to `out` unless `out` is newer than every
// input already; returns true when it (re)built it.
bool EnsureFirmware(const FirmwareInputs& inputs, const std::string& out);

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_FIRMWARE_H_
