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
#include <utility>
#include <vector>

#include "board/BoardConfig.h"
#include "board/Event.h"
#include "board/TimerWait.h"
#include "tools/TraceAnalysis.h"

namespace clockramp::tool {

struct ListingLine {
  uint64_t t = 0;  // virtual time the access (or wait) began, ns
  std::string text;
};

// Builds the lines as a run goes by, fed by a board::WaitSplitter: one line
// per meaningful access and per wait, replaying the Super I/O chip and the
// platform controller to name what each access did. With `out`, each line is
// printed there as it is made (PrintListingLine) instead of kept.
class Lister final : public board::WaitObserver {
 public:
  explicit Lister(const board::BoardConfig& config, std::ostream* out = nullptr);
  void OnAccess(size_t index, const board::Event& event, uint64_t done) override;
  void OnWait(const TimerWait& wait) override;
  // The lines so far, handed over.
  [[nodiscard]] std::vector<ListingLine> TakeLines() { return std::move(lines_); }

 private:
  void Add(uint64_t t, std::string text);

  board::BoardConfig config_;
  SuperIoReplay sio_;
  PlatformControllerReplay pch_;
  std::ostream* out_;
  std::vector<ListingLine> lines_;
};

// The lines for a whole run of the given scenario configuration.
std::vector<ListingLine> ListTrace(const board::BoardConfig& config,
                                   std::span<const board::Event> events);

// "     380.400 µs  SMBus 0x6B writeBlock reg 8 ← 11" and a newline.
void PrintListingLine(std::ostream& out, const ListingLine& line);

// The lines, one a line.
void PrintListing(std::ostream& out, std::span<const ListingLine> lines);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TRACELISTING_H_
