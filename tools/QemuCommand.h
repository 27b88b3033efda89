// The firmware under QEMU as a choice of `clockramp run --engine qemu`: the
// module dispatched by the real PEI core of the ovmf-ia32 firmware, the
// trace read back and compared with the native engine's run of the same
// scenario (qemu/).
#ifndef CLOCKRAMP_TOOLS_QEMUCOMMAND_H_
#define CLOCKRAMP_TOOLS_QEMUCOMMAND_H_

#include <memory>
#include <string>

namespace clockramp::tool {

// Registers the "qemu" engine. *workDir (read when the run starts) keeps
// QEMU's trace, the helpers' log and the scenario file there; a temporary
// folder, removed after a clean run, when empty. *beforeMemory chooses the
// firmware whose apriori file dispatches the module before memory, in place.
// The summary notes say what QEMU cannot see and how the run compared with
// the native engine's.
void RegisterQemuEngine(const std::shared_ptr<const std::string>& workDir,
                        const std::shared_ptr<const bool>& beforeMemory);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_QEMUCOMMAND_H_
