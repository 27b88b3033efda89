#include "tools/RunAnalysis.h"

#include <algorithm>
#include <vector>

namespace clockramp::tool {

// The observers behind one WaitSplitter: steps and time always, the listing
// and the timeline when asked for.
class RunAnalysis::Parts final : public board::WaitObserver {
 public:
  Parts(RunAnalysis& owner, const board::BoardConfig& config, const RunAnalysisOptions& options)
      : owner_(owner), steps(config), splitter(*this, StepDelayTicks(config)) {
    if (options.listing != nullptr) {
      lister = std::make_unique<Lister>(config, options.listing);
    }
    if (options.vcd != nullptr) {
      vcds.push_back(std::make_unique<VcdWriter>(*options.vcd, config, options.vcdOptions));
    }
    if (options.sigrokVcd != nullptr) {
      VcdOptions oneBit = options.vcdOptions;
      oneBit.oneBitOnly = true;
      vcds.push_back(std::make_unique<VcdWriter>(*options.sigrokVcd, config, oneBit));
    }
  }

  void OnAccess(size_t index, const board::Event& e, uint64_t done) override {
    Begin(e.t);
    TimeSplit& time = owner_.time_;
    time.total = done - first_;
    if (e.kind == board::EventKind::Smbus) {
      time.smbus += done - e.t;
    }
    steps.OnAccess(index, e, done);
    if (lister) {
      lister->OnAccess(index, e, done);
    }
    for (auto& vcd : vcds) {
      vcd->OnAccess(index, e, done);
    }
  }

  void OnWait(const TimerWait& wait) override {
    Begin(wait.start);
    TimeSplit& time = owner_.time_;
    time.total = wait.end - first_;
    time.delays += wait.end - wait.start;
    ++time.waits;
    steps.OnWait(wait);
    if (lister) {
      lister->OnWait(wait);
    }
    for (auto& vcd : vcds) {
      vcd->OnWait(wait);
    }
  }

  void OnEnd() override {
    TimeSplit& time = owner_.time_;
    time.other = time.total - time.smbus - time.delays;
    steps.OnEnd();
    for (auto& vcd : vcds) {
      vcd->OnEnd();
    }
  }

  // Notes the t of the run's first line.
  void Begin(uint64_t t) {
    if (!begun_) {
      first_ = t;
      begun_ = true;
    }
  }

 private:
  RunAnalysis& owner_;
  bool begun_ = false;
  uint64_t first_ = 0;

 public:
  StepFinder steps;
  std::unique_ptr<Lister> lister;
  std::vector<std::unique_ptr<VcdWriter>> vcds;
  board::WaitSplitter splitter;
};

RunAnalysis::RunAnalysis(const board::BoardConfig& config, const RunAnalysisOptions& options)
    : parts_(std::make_unique<Parts>(*this, config, options)) {}

RunAnalysis::~RunAnalysis() = default;

void RunAnalysis::OnEvent(const board::Event& event) {
  ++lines_;
  if (event.kind == board::EventKind::State) {
    state_ = event.Snapshot();
  } else if (state_) {
    state_.reset();
  }
  parts_->splitter.OnEvent(event);
}

void RunAnalysis::Finish() { parts_->splitter.Finish(); }

const std::vector<RampStep>& RunAnalysis::Steps() const { return parts_->steps.Steps(); }

TimeSplit SplitTime(std::span<const board::Event> events, std::span<const TimerWait> waits) {
  TimeSplit split;
  if (events.empty()) {
    return split;
  }
  split.total = events.back().t - events.front().t;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == board::EventKind::Smbus) {
      split.smbus += Duration(events, i);
    }
  }
  for (const TimerWait& w : waits) {
    split.delays += w.end - w.start;
  }
  split.waits = static_cast<uint32_t>(waits.size());
  split.other = split.total - split.smbus - split.delays;
  return split;
}

}  // namespace clockramp::tool
