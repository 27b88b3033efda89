// Helpers for the module's behavioural tests: a board with a native session
// for direct calls, and filters over the trace.
#ifndef CLOCKRAMP_TESTS_MODULE_MODULETESTSUPPORT_H_
#define CLOCKRAMP_TESTS_MODULE_MODULETESTSUPPORT_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "board/Board.h"
#include "board/NativeEngine.h"
#include "pei/PiDefs.h"

namespace moduletest {

// A board and a native session on it, for calling module functions directly.
struct Bench {
  explicit Bench(const board::BoardConfig& config = {})
      : board(std::make_unique<board::Board>(config)), session(*board) {}

  [[nodiscard]] EFI_PEI_SERVICES** Services() const {
    return static_cast<EFI_PEI_SERVICES**>(session.Services());
  }
  [[nodiscard]] const EFI_PEI_SMBUS2_PPI* Smbus() const {
    return static_cast<const EFI_PEI_SMBUS2_PPI*>(session.Smbus());
  }
  [[nodiscard]] const board::Trace& Trace() const { return board->Events(); }

  std::unique_ptr<board::Board> board;
  board::NativeSession session;
};

// The events of the given kinds, in order.
inline std::vector<board::Event> Only(const board::Trace& trace,
                                      std::initializer_list<board::EventKind> kinds) {
  std::vector<board::Event> out;
  for (const board::Event& e : trace) {
    for (board::EventKind k : kinds) {
      if (e.kind == k) {
        out.push_back(e);
        break;
      }
    }
  }
  return out;
}

inline bool IsSmbus(const board::Event& e, board::SmbusOperation op, uint64_t command) {
  return e.kind == board::EventKind::Smbus && e.op == static_cast<uint8_t>(op) &&
         e.value == command;
}

inline bool IsIo(const board::Event& e, board::IoOp op, uint16_t port) {
  return e.kind == board::EventKind::Io && e.op == static_cast<uint8_t>(op) && e.address == port;
}

// The SMBus block writes of one register, in order (their data).
inline std::vector<std::vector<uint8_t>> WritesOf(const board::Trace& trace, uint8_t reg) {
  std::vector<std::vector<uint8_t>> out;
  for (const board::Event& e : trace) {
    if (IsSmbus(e, board::SmbusOperation::WriteBlock, reg)) {
      out.push_back(e.Data());
    }
  }
  return out;
}

// Values of the ACPI timer reads (port 0x508), in order.
inline std::vector<uint32_t> TimerReads(const board::Trace& trace) {
  std::vector<uint32_t> out;
  for (const board::Event& e : trace) {
    if (IsIo(e, board::IoOp::In, 0x508)) {
      out.push_back(static_cast<uint32_t>(e.value));
    }
  }
  return out;
}

// Splits timer reads into the waits that made them, each of `ticks` ticks in
// one piece: a wait's first read is its start, and it ends at the first read
// at least ticks + 1 counts past it (the counter is 24 bits). Returns the
// number of reads of each wait.
inline std::vector<size_t> SplitWaits(const std::vector<uint32_t>& reads, uint32_t ticks) {
  std::vector<size_t> waits;
  size_t i = 0;
  while (i < reads.size()) {
    const uint32_t start = reads[i];
    size_t n = 1;
    while (i + n < reads.size()) {
      const uint32_t elapsed = (reads[i + n] - start) & 0xFFFFFFU;
      ++n;
      if (elapsed >= ticks + 1) {
        break;
      }
    }
    waits.push_back(n);
    i += n;
  }
  return waits;
}

// Expected port and bus traffic, built access by access (times are not compared).
struct Traffic {
  std::vector<board::Event> events;

  void Out(uint16_t port, uint8_t value) {
    events.push_back(board::Event::Io(0, board::IoOp::Out, port, 8, value));
  }
  void Post(uint8_t code) { Out(0x80, code); }
  // A one-transaction block write to the clock generator.
  void SmbusWrite(uint8_t reg, std::vector<uint8_t> data) {
    const uint64_t length = data.size();
    events.push_back(board::Event::Smbus(0, board::SmbusOperation::WriteBlock, 0x6B, reg, length,
                                         std::move(data), 0));
  }
  // A Super I/O register write inside its own enter and leave.
  void SioWrite(uint8_t reg, uint8_t value) {
    Out(0x2E, 0x87);
    Out(0x2E, 0x87);
    Out(0x2E, reg);
    Out(0x2F, value);
    Out(0x2E, 0xAA);
  }
  // The same around a register read answering `value`.
  void SioRead(uint8_t reg, uint8_t value) {
    Out(0x2E, 0x87);
    Out(0x2E, 0x87);
    Out(0x2E, reg);
    events.push_back(board::Event::Io(0, board::IoOp::In, 0x2F, 8, value));
    Out(0x2E, 0xAA);
  }
};

// Index of the first event matching a predicate at or after `from`, or the trace size.
template <typename Pred>
size_t Find(const board::Trace& trace, Pred pred, size_t from = 0) {
  for (size_t i = from; i < trace.size(); ++i) {
    if (pred(trace[i])) {
      return i;
    }
  }
  return trace.size();
}

}  // namespace moduletest

#endif  // CLOCKRAMP_TESTS_MODULE_MODULETESTSUPPORT_H_
