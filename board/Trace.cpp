#include "board/Trace.h"

#include <nlohmann/json.hpp>

#include "board/JsonlWriter.h"

namespace board {
namespace {

// Equality of two events under the options.
bool Matches(const Event& a, const Event& b, const CompareOptions& options) {
  if (!options.ignoreTime) {
    return a == b;
  }
  Event timeless = b;
  timeless.t = a.t;
  return a == timeless;
}

// "event N: expected ... got ..." with "(none)" for a missing side.
std::string Describe(size_t index, const Event* actual, const Event* expected) {
  auto line = [](const Event* e) { return e != nullptr ? ToOrderedJson(*e).dump() : "(none)"; };
  return "event " + std::to_string(index) + ": expected " + line(expected) + ", got " +
         line(actual);
}

}  // namespace

std::vector<Event> Trace::OfKind(EventKind kind) const {
  std::vector<Event> selected;
  for (const Event& e : events_) {
    if (e.kind == kind) {
      selected.push_back(e);
    }
  }
  return selected;
}

void WriteJsonl(std::ostream& out, std::span<const Event> events) {
  JsonlWriter writer(out);
  for (const Event& e : events) {
    writer.OnEvent(e);
  }
  writer.Finish();
}

TraceMatcher::TraceMatcher(std::span<const Event> expected, CompareOptions options)
    : expected_(expected), options_(options) {
  SkipIgnored();
}

void TraceMatcher::SkipIgnored() {
  while (next_ < expected_.size() && options_.ignoreCpu &&
         expected_[next_].kind == EventKind::Cpu) {
    ++next_;
  }
}

void TraceMatcher::OnEvent(const Event& event) {
  if (difference_ || (options_.ignoreCpu && event.kind == EventKind::Cpu)) {
    return;
  }
  const Event* expected = next_ < expected_.size() ? &expected_[next_] : nullptr;
  if (expected == nullptr || !Matches(event, *expected, options_)) {
    difference_ = Describe(compared_, &event, expected);
    return;
  }
  ++compared_;
  ++next_;
  SkipIgnored();
}

std::optional<std::string> TraceMatcher::Finish() {
  if (!difference_ && next_ < expected_.size()) {
    difference_ = Describe(compared_, nullptr, &expected_[next_]);
  }
  return difference_;
}

std::optional<std::string> FirstDifference(std::span<const Event> actual,
                                           std::span<const Event> expected,
                                           CompareOptions options) {
  TraceMatcher matcher(expected, options);
  for (const Event& e : actual) {
    matcher.OnEvent(e);
  }
  return matcher.Finish();
}

}  // namespace board
