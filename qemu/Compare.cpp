#include "qemu/Compare.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "board/Trace.h"

namespace qemu {
namespace {

using board::Event;
using board::EventKind;

// Whether QEMU can see a line of this kind.
bool Seen(const Event& e) {
  switch (e.kind) {
    case EventKind::Pcd:
    case EventKind::Smbus:
    case EventKind::Io:
    case EventKind::Mmio:
      return true;
    case EventKind::Pei:
      return e.op == static_cast<uint8_t>(board::PeiCall::GetVariable) ||
             e.op == static_cast<uint8_t>(board::PeiCall::NextVariableName);
    default:
      return false;
  }
}

bool IsTimerRead(const Event& e) {
  return e.kind == EventKind::Io && e.op == static_cast<uint8_t>(board::IoOp::In) && e.width == 32;
}

// The state's parts both sides know, as one line.
std::string Describe(const board::StateSnapshot& s) {
  return board::ToOrderedJson(Event::State(0, s)).dump();
}

}  // namespace

VisibleTrace Visible(std::span<const Event> events) {
  VisibleTrace out;
  for (const Event& e : events) {
    if (!Seen(e)) {
      // A PAUSE between two timer reads does not end the wait.
      out.dropped += e.kind != EventKind::State ? 1 : 0;
      continue;
    }
    if (IsTimerRead(e)) {
      auto port = static_cast<uint16_t>(e.address);
      auto value = static_cast<uint32_t>(e.value);
      if (!out.events.empty() && IsTimerRead(out.events.back()) && !out.waits.empty() &&
          out.waits.back().port == port && out.events.back().address == port) {
        out.waits.back().last = value;
        ++out.waits.back().reads;
        continue;
      }
      out.waits.push_back({port, value, value, 1});
      out.events.push_back(Event::Io(0, board::IoOp::In, port, 32, 0));
      continue;
    }
    Event copy = e;
    copy.t = 0;
    out.events.push_back(std::move(copy));
  }
  return out;
}

Comparison CompareRuns(std::span<const Event> native, const board::StateSnapshot& nativeState,
                       std::span<const Event> qemu, const board::StateSnapshot& qemuState) {
  VisibleTrace n = Visible(native);
  VisibleTrace q = Visible(qemu);
  Comparison c;
  c.compared = n.events.size();
  c.notSeen = n.dropped;
  c.waits = n.waits.size();
  board::CompareOptions options;
  options.ignoreTime = true;
  if (auto diff = board::FirstDifference(q.events, n.events, options)) {
    c.difference = "trace (QEMU first, native second): " + *diff;
    return c;
  }
  for (size_t i = 0; i < n.waits.size() && i < q.waits.size(); ++i) {
    uint32_t needed = n.waits[i].Ticks();
    uint32_t got = q.waits[i].Ticks();
    if (got + kPollTicks < needed) {
      c.difference = fmt::format(
          "timer wait {} at port 0x{:X}: QEMU's timer moved {} ticks in {} reads, the native wait "
          "took {} ticks",
          i, n.waits[i].port, got, q.waits[i].reads, needed);
      return c;
    }
  }
  if (!(qemuState == nativeState)) {
    c.difference =
        "end state:\n  QEMU   " + Describe(qemuState) + "\n  native " + Describe(nativeState);
  }
  return c;
}

}  // namespace qemu
