// The reader of sigrok's I2C decoder output (`clockramp compare-capture`),
// and the comparison of what it read with the module's transactions on the
// default board, which must take any capture that reads.
#include <sstream>
#include <vector>

#include "board/NativeEngine.h"
#include "fuzz/readers/ReaderTarget.h"
#include "tools/CompareCapture.h"
#include "tools/SigrokCapture.h"
#include "tools/SmbusWire.h"

namespace clockramp::fuzz {
namespace {

const std::vector<tool::SmbusTransfer>& DefaultBoardTransfers() {
  static const std::vector<tool::SmbusTransfer> transfers =
      tool::SmbusTransfers(board::RunNative(board::BoardConfig{}).trace().Events());
  return transfers;
}

}  // namespace

CLOCKRAMP_READER_TARGET(FuzzCapture) {
  std::vector<tool::CapturedTransaction> captured;
  try {
    captured = tool::ParseI2cCapture(Text(data), "capture.txt");
  } catch (const tool::CaptureError&) {
    return;
  }
  std::ostringstream out;
  tool::CompareTransactions(DefaultBoardTransfers(), captured, "capture.txt", out);
}

}  // namespace clockramp::fuzz
