// The analysis of a run as one sink: everything the summary, the -v listing
// and the VCD timeline need, built in one pass as the events go by. It keeps
// one record per ramp step and the running totals, nothing per access: the
// listing and the timeline are written to their streams as they are made.
#ifndef CLOCKRAMP_TOOLS_RUNANALYSIS_H_
#define CLOCKRAMP_TOOLS_RUNANALYSIS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <vector>

#include "board/BoardConfig.h"
#include "board/Event.h"
#include "board/EventSink.h"
#include "board/TimerWait.h"
#include "tools/TraceAnalysis.h"
#include "tools/TraceListing.h"
#include "tools/Vcd.h"

namespace clockramp::tool {

// Where the virtual time of a run went. An access lasts from its t to the
// next line's t; SMBus time is the sum over "smbus" lines, delay time the
// spans of the timer waits, other time the rest.
struct TimeSplit {
  uint64_t total = 0;
  uint64_t smbus = 0;
  uint64_t delays = 0;
  uint64_t other = 0;
  uint32_t waits = 0;
};

// The time split of a whole sequence of events whose waits are known.
TimeSplit SplitTime(std::span<const board::Event> events, std::span<const TimerWait> waits);

struct RunAnalysisOptions {
  std::ostream* listing = nullptr;  // print the -v listing here as the run goes
  std::ostream* vcd = nullptr;      // write the VCD timeline here as the run goes
  VcdOptions vcdOptions;
  std::ostream* sigrokVcd = nullptr;  // the same timeline, one-bit signals only, for sigrok
};

class RunAnalysis final : public board::EventSink {
 public:
  explicit RunAnalysis(const board::BoardConfig& config, const RunAnalysisOptions& options = {});
  ~RunAnalysis() override;
  RunAnalysis(const RunAnalysis&) = delete;
  RunAnalysis& operator=(const RunAnalysis&) = delete;
  RunAnalysis(RunAnalysis&&) = delete;
  RunAnalysis& operator=(RunAnalysis&&) = delete;

  void OnEvent(const board::Event& event) override;
  // Ends the run: the last wait and line are taken, the listing and the
  // timeline completed. Once, after the last event.
  void Finish();

  // Results, complete after Finish.
  [[nodiscard]] const std::vector<RampStep>& Steps() const;
  [[nodiscard]] const TimeSplit& Time() const { return time_; }
  [[nodiscard]] uint64_t Lines() const { return lines_; }
  // The "state" line's snapshot, when the run ended with one.
  [[nodiscard]] const std::optional<board::StateSnapshot>& FinalState() const { return state_; }

 private:
  class Parts;

  std::unique_ptr<Parts> parts_;
  TimeSplit time_;
  uint64_t lines_ = 0;
  std::optional<board::StateSnapshot> state_;
};

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_RUNANALYSIS_H_
