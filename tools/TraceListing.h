// The decoded trace `clockramp run -v` prints: one line per meaningful
// access. Super I/O enter/select/leave sequences collapse into the register
// access they make ("Super I/O LDN 8 reg 0xF6 ← 0x01"), each ACPI timer wait
// into one line with its ticks and polls, PCI configuration accesses are
// named by bus:device.function and register, and SIDT/PAUSE lines are left out.
#ifndef CLOCKRAMP_TOOLS_TRACELISTING_H_
#define CLOCKRAMP_TOOLS_TRACELISTING_H_

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "board/BoardConfig.h"
#include "board/Event.h"

namespace clockramp::tool {

struct ListingLine {
  uint64_t t = 0;  // virtual time the access (or wait) began, ns
  std::string text;
};

// The lines for a run of the given scenario configuration.
std::vector<ListingLine> ListTrace(const board::BoardConfig& config,
                                   std::span<const board::Event> events);

// "     380.400 µs  SMBus 0x6B writeBlock reg 8 ← 11", one a line.
void PrintListing(std::ostream& out, std::span<const ListingLine> lines);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TRACELISTING_H_
