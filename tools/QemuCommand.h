// The firmware under QEMU as a choice of `clockramp run --engine qemu`: the
// module dispatched by the real PEI core of the ovmf-ia32 firmware, the
// trace read back and compared with the native engine's run of the same
// scenario (qemu/).
#ifndef CLOCKRAMP_TOOLS_QEMUCOMMAND_H_
#define CLOCKRAMP_TOOLS_QEMUCOMMAND_H_

#include <memory>
#include <string>

namespace clockramp::tool {

// The choices of a qemu run, read when it starts.
struct QemuEngineOptions {
  // Keeps QEMU's trace, the logs and the scenario file there; a temporary
  // folder, removed after a clean run, when empty.
  std::string workDir;
  // The firmware whose apriori file dispatches the module before memory, in place.
  bool beforeMemory = false;
  // Another module image in place of this build's ClockRamp.efi.
  std::string image;
  // A firmware image that already holds the module and both helper PEIMs
  // (an OVMF built with them, scripts/edk2.sh), run as it is; its variable
  // store is the OVMF_VARS.fd beside it, or the ovmf-ia32 package's.
  std::string firmware;
};

// Registers the "qemu" engine. The summary notes say what QEMU cannot see,
// how the run compared with the native engine's and, for a firmware that
// logs (a DEBUG build), what its PEI core said about the module.
void RegisterQemuEngine(const std::shared_ptr<const QemuEngineOptions>& options);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_QEMUCOMMAND_H_
