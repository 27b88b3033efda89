// What sigrok's I2C decoder prints for a logic-analyzer capture
// (`sigrok-cli -i CAPTURE -P i2c -A i2c`), read back into SMBus
// transactions: one line per annotation, "i2c-1: Start", "i2c-1: Address
// write: 6B", "i2c-1: ACK", "i2c-1: Data read: 11", "i2c-1: Stop", with the
// bit lines ("0", "1") and the R/W lines ("Write", "Read") in between.
// Addresses are taken as the decoder prints them by default: 7-bit.
#ifndef CLOCKRAMP_TOOLS_SIGROKCAPTURE_H_
#define CLOCKRAMP_TOOLS_SIGROKCAPTURE_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/SmbusWire.h"

namespace clockramp::tool {

// One transaction of a capture: from a start to its stop (or to the next
// start, when the capture shows no stop).
struct CapturedTransaction {
  std::vector<WireSymbol> symbols;
  size_t line = 0;  // the line of its start, from 1
};

// A capture that cannot be read. what() is "SOURCE:LINE: PROBLEM", or
// "SOURCE: PROBLEM" without a line.
class CaptureError : public std::runtime_error {
 public:
  CaptureError(const std::string& source, size_t line, const std::string& problem);
};

// Parses decoder output; `source` names it in errors. Throws CaptureError
// for a line that is not an I2C annotation, an acknowledge with no byte
// before it, or a byte or repeated start outside a transaction.
std::vector<CapturedTransaction> ParseI2cCapture(std::string_view text, const std::string& source);

// Reads a capture file of at most files::kTextFileLimit bytes (16 MiB: the
// decoded capture of the longest ramp is about 5 MB). Throws CaptureError.
std::vector<CapturedTransaction> LoadI2cCapture(const std::string& path);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SIGROKCAPTURE_H_
