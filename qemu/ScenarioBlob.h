// The scenario as the scenario PEIM reads it from QEMU's fw_cfg
// (qemu/peim/HelperPeim.h lays out the bytes): the clock generator, the
// injected SMBus failures, the variables, when the SMBus2 PPI comes, the
// ACPI registers before the module runs and what PCD token 5 answers.
#ifndef CLOCKRAMP_QEMU_SCENARIOBLOB_H_
#define CLOCKRAMP_QEMU_SCENARIOBLOB_H_

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "board/BoardConfig.h"

namespace qemu {

// The fw_cfg file name the scenario PEIM looks for.
inline constexpr const char* kScenarioFwCfgName = "opt/clockramp/scenario";

// A board the firmware under QEMU cannot be made into (no variable or PCD
// PPI, a stopped or frozen timer, more failures than the helper keeps, ...).
class UnsupportedScenario : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes of the fw_cfg file for a board; `pcdToken5` is what the shim
// answers for token 5. Throws UnsupportedScenario for what cannot be run.
std::vector<uint8_t> BuildScenarioBlob(const board::BoardConfig& config, uint64_t pcdToken5);

}  // namespace qemu

#endif  // CLOCKRAMP_QEMU_SCENARIOBLOB_H_
