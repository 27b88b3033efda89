// `clockramp compare-capture`: compares the SMBus transactions of a
// logic-analyzer capture, as sigrok's I2C decoder prints them, with those the
// module makes on a scenario's board, and shows the first difference.
#ifndef CLOCKRAMP_TOOLS_COMPARECAPTURE_H_
#define CLOCKRAMP_TOOLS_COMPARECAPTURE_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "board/BoardConfig.h"
#include "tools/SigrokCapture.h"
#include "tools/SmbusWire.h"

namespace clockramp::tool {

struct CompareOptions {
  std::string capture;                  // decoder output (sigrok-cli -P i2c -A i2c)
  std::optional<std::string> scenario;  // the default board when absent
  // Real time the module's run may take before it is stopped as a hang.
  uint64_t wallClockLimitMs = board::BoardConfig{}.wallClockLimitMs;
};

// Writes the first difference between what the module does (`expected`, one
// symbol list per transaction, with the transfers they came from) and the
// capture, with the transactions around it; returns whether they agree.
bool CompareTransactions(std::span<const SmbusTransfer> expected,
                         std::span<const CapturedTransaction> captured,
                         const std::string& captureName, std::ostream& out);

// Runs the command: 0 when every transaction matches, 1 at a difference, 2
// for a capture or scenario that cannot be read, 3 when they match but the
// module's run hung (tools/ExitStatus.h).
int RunCompareCapture(const CompareOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_COMPARECAPTURE_H_
