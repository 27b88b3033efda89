// The ordered record of every access a run made at the platform boundary,
// kept in memory (the sink for tests and small runs), with JSON Lines output
// and comparison against an expected sequence.
#ifndef CLOCKRAMP_BOARD_TRACE_H_
#define CLOCKRAMP_BOARD_TRACE_H_

#include <cstddef>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "board/Event.h"
#include "board/EventSink.h"

namespace board {

class Trace final : public EventSink {
 public:
  // EventSink: keeps a copy of the event.
  void OnEvent(const Event& event) override { Append(event); }

  void Append(Event event) {
    if (events_.size() == events_.capacity()) {
      Grow();
    }
    events_.push_back(std::move(event));
  }
  void Clear() { events_.clear(); }

  [[nodiscard]] const std::vector<Event>& Events() const { return events_; }
  [[nodiscard]] size_t size() const { return events_.size(); }
  [[nodiscard]] bool empty() const { return events_.empty(); }
  [[nodiscard]] const Event& operator[](size_t index) const { return events_[index]; }
  [[nodiscard]] auto begin() const { return events_.begin(); }
  [[nodiscard]] auto end() const { return events_.end(); }

  // The events of one kind, in order.
  [[nodiscard]] std::vector<Event> OfKind(EventKind kind) const;

 private:
  // Room for four times as many events: a long run (millions of timer
  // polls) copies and first-touches far less memory than with doubling.
  void Grow() { events_.reserve(events_.capacity() < 1024 ? 1024 : 4 * events_.capacity()); }

  std::vector<Event> events_;
};

// Writes one JSON object per line.
void WriteJsonl(std::ostream& out, std::span<const Event> events);
inline void WriteJsonl(std::ostream& out, const Trace& trace) { WriteJsonl(out, trace.Events()); }

struct CompareOptions {
  bool ignoreCpu = true;    // drop "cpu" lines (SIDT, PAUSE) from both sides first
  bool ignoreTime = false;  // compare everything but "t"
};

// Compares a run's events, as they happen, with an expected sequence (kept by
// the caller), and stops at the first difference: the run itself is not kept.
class TraceMatcher final : public EventSink {
 public:
  // `expected` must outlive the matcher.
  explicit TraceMatcher(std::span<const Event> expected, CompareOptions options = {});

  void OnEvent(const Event& event) override;
  // The first difference ("event N: expected ..., got ..."), nullopt when the
  // run matched the whole sequence. After the last event.
  [[nodiscard]] std::optional<std::string> Finish();

 private:
  // Moves `next_` to the next expected event that takes part.
  void SkipIgnored();

  std::span<const Event> expected_;
  CompareOptions options_;
  size_t next_ = 0;      // into expected_
  size_t compared_ = 0;  // events compared so far (the N of the message)
  std::optional<std::string> difference_;
};

// The first difference between two sequences, described with both JSON lines;
// nullopt when they match under the options.
std::optional<std::string> FirstDifference(std::span<const Event> actual,
                                           std::span<const Event> expected,
                                           CompareOptions options = {});

// True when the sequences match under the options.
inline bool SameEvents(std::span<const Event> actual, std::span<const Event> expected,
                       CompareOptions options = {}) {
  return !FirstDifference(actual, expected, options).has_value();
}

}  // namespace board

#endif  // CLOCKRAMP_BOARD_TRACE_H_
