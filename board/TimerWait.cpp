#include "board/TimerWait.h"

#include <algorithm>

#include "board/AcpiTimer.h"

namespace board {
namespace {

bool IsPause(const Event& e) {
  return e.kind == EventKind::Cpu && e.op == static_cast<uint8_t>(CpuOp::Pause);
}

// Whether a reading is a 24-bit timer value.
bool Answered(const Event& e) { return e.value <= AcpiTimer::kMask; }

// Collects the waits, for FindTimerWaits.
class WaitList final : public WaitObserver {
 public:
  void OnAccess(size_t /*index*/, const Event& /*event*/, uint64_t /*done*/) override {}
  void OnWait(const TimerWait& wait) override { waits.push_back(wait); }
  std::vector<TimerWait> waits;
};

}  // namespace

bool IsTimerRead(const Event& e) {
  return e.kind == EventKind::Io && e.op == static_cast<uint8_t>(IoOp::In) &&
         e.address == kTimerPort && e.width == 32;
}

WaitSplitter::WaitSplitter(WaitObserver& observer, std::optional<uint32_t> expectedTicks,
                           std::optional<bool> pauses)
    : observer_(observer),
      expectedTicks_(expectedTicks),
      pausesKnown_(pauses.has_value()),
      pauses_(pauses.value_or(false)) {}

// Whether a line extends the wait being read: with PAUSE lines, a reading
// right after the first one or after a PAUSE; without, a bare reading right
// after the last one, until the expected ticks have passed.
bool WaitSplitter::Continues(const Event& e) const {
  if (!IsTimerRead(e)) {
    return false;
  }
  if (pauses_) {
    return pausedSince_ || firstCheck_;
  }
  const TimerWait& w = *wait_;
  bool reached = expectedTicks_ && w.answered && w.polls > 1 && w.Ticks() >= *expectedTicks_;
  return after_.empty() && !reached;
}

void WaitSplitter::OnEvent(const Event& e) {
  size_t index = index_++;
  if (!pausesKnown_ && IsPause(e)) {
    pauses_ = true;
  }
  if (wait_) {
    if (e.kind == EventKind::Cpu) {
      pausedSince_ = pausedSince_ || IsPause(e);
      after_.emplace_back(index, e);
      return;
    }
    if (Continues(e)) {
      TimerWait& w = *wait_;
      w.last = index;
      ++w.polls;
      w.lastValue = static_cast<uint32_t>(e.value);
      w.answered = w.answered && Answered(e);
      w.end = e.t;
      firstCheck_ = false;
      pausedSince_ = false;
      after_.clear();
      return;
    }
    wait_->end = after_.empty() ? e.t : after_.front().second.t;
    CloseWait();
  }
  Release(e.t);
  if (IsTimerRead(e)) {
    TimerWait w;
    w.first = w.last = index;
    w.start = w.end = e.t;
    w.polls = 1;
    w.firstValue = w.lastValue = static_cast<uint32_t>(e.value);
    w.answered = Answered(e);
    wait_ = w;
    firstCheck_ = true;
    pausedSince_ = false;
  } else {
    Hold(e, index);
  }
}

// Hands on the ended wait, then the processor lines that followed its last
// reading (they belong to no wait).
void WaitSplitter::CloseWait() {
  observer_.OnWait(*wait_);
  wait_.reset();
  for (auto& [index, event] : after_) {
    Release(event.t);
    Hold(event, index);
  }
  after_.clear();
}

void WaitSplitter::Release(uint64_t next) {
  if (held_) {
    observer_.OnAccess(heldIndex_, *held_, next);
    held_.reset();
  }
}

void WaitSplitter::Hold(const Event& event, size_t index) {
  held_ = event;
  heldIndex_ = index;
}

void WaitSplitter::Finish() {
  if (wait_) {
    if (!after_.empty()) {
      wait_->end = after_.front().second.t;
    }
    CloseWait();
  }
  if (held_) {
    Release(held_->t);
  }
  observer_.OnEnd();
}

std::vector<TimerWait> FindTimerWaits(std::span<const Event> events,
                                      std::optional<uint32_t> expectedTicks) {
  WaitList list;
  WaitSplitter splitter(list, expectedTicks, std::any_of(events.begin(), events.end(), IsPause));
  for (const Event& e : events) {
    splitter.OnEvent(e);
  }
  splitter.Finish();
  return std::move(list.waits);
}

}  // namespace board
