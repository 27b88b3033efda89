// The SMBus drawn as its two lines, SCL and SDA, at the board's 100 kHz bit
// timing (10 µs a bit), for the timeline. Every transaction starts at its
// trace time and takes exactly the bits the board charges for it.
//
// Each bit time is split in quarters: SCL falls at its start, SDA takes the
// bit's value a quarter in, SCL rises halfway and stays high to the end. A
// start is SDA falling halfway through a bit time in which SCL stays high;
// a repeated start raises SDA a quarter in and lets it fall three quarters
// in, while SCL is high; a stop lowers SDA a quarter in and raises it three
// quarters in, after SCL has risen. Between transactions both lines are high.
#ifndef CLOCKRAMP_TOOLS_SMBUSWAVEFORM_H_
#define CLOCKRAMP_TOOLS_SMBUSWAVEFORM_H_

#include <cstdint>
#include <span>
#include <vector>

#include "tools/SmbusWire.h"

namespace clockramp::tool {

// Both lines from a time on.
struct BusLevels {
  uint64_t t = 0;  // virtual ns
  bool scl = true;
  bool sda = true;
  bool operator==(const BusLevels&) const = default;
};

// The moments either line changes, in time order, from idle (both high).
// Transactions that overlap (a trace that was not made by the board) are
// drawn one after the other.
std::vector<BusLevels> SmbusWaveform(std::span<const SmbusTransfer> transfers);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SMBUSWAVEFORM_H_
