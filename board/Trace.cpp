#include "board/Trace.h"

#include "board/JsonlWriter.h"

namespace board {
namespace {

// The events that take part in a comparison.
std::vector<const Event*> Comparable(std::span<const Event> events, const CompareOptions& options) {
  std::vector<const Event*> kept;
  kept.reserve(events.size());
  for (const Event& e : events) {
    if (!(options.ignoreCpu && e.kind == EventKind::Cpu)) {
      kept.push_back(&e);
    }
  }
  return kept;
}

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

std::optional<std::string> FirstDifference(std::span<const Event> actual,
                                           std::span<const Event> expected,
                                           CompareOptions options) {
  auto a = Comparable(actual, options);
  auto b = Comparable(expected, options);
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (!Matches(*a[i], *b[i], options)) {
      return Describe(i, a[i], b[i]);
    }
  }
  if (a.size() != b.size()) {
    return Describe(common, common < a.size() ? a[common] : nullptr,
                    common < b.size() ? b[common] : nullptr);
  }
  return std::nullopt;
}

}  // namespace board
