// What a DEBUG build of the firmware's PEI core says about the module in its
// own debug log (QemuRun::firmwareLog): that it loaded the module's file,
// registered the module's notification on the SMBus2 PPI, and dispatched
// that notification into the module's image; and whether anything asserted.
#ifndef CLOCKRAMP_QEMU_FIRMWARELOG_H_
#define CLOCKRAMP_QEMU_FIRMWARELOG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qemu {

struct FirmwareLogFacts {
  std::optional<uint64_t> loadedAt;    // "Loading PEIM at <address>" after the module's file
  bool notifyRegistered = false;       // "Register PPI Notify: <SMBus2 PPI>"
  std::optional<uint64_t> dispatched;  // the entry point of "Notify: PPI Guid: <SMBus2 PPI>"
  std::vector<std::string> asserts;    // every line with ASSERT in it
};

// Reads the core's lines about the file named `moduleFile` (a registry-format
// GUID). The core prints GUIDs in lower case; either case matches.
FirmwareLogFacts ReadFirmwareLog(const std::string& log, const std::string& moduleFile);

// What is wrong with the facts for a module whose image is `imageSize` bytes:
// not loaded, notification not registered, not dispatched into the image
// where the core loaded it, or an ASSERT. Empty when nothing is.
std::vector<std::string> FirmwareLogProblems(const FirmwareLogFacts& facts, uint32_t imageSize);

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_FIRMWARELOG_H_
