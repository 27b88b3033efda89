#include "tools/Vcd.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>

#include <fmt/format.h>

#include "board/PostPort.h"
#include "tools/SmbusWaveform.h"
#include "tools/SmbusWire.h"
#include "tools/TraceAnalysis.h"

namespace clockramp::tool {
namespace {

enum Signal : size_t {
  kCode,
  kLevel,
  kOutput,
  kStepBits,
  kGuard,
  kPost,
  kDecoding,
  kWait,
  kScl,
  kSda,
  kCount
};

struct SignalInfo {
  const char* name;
  unsigned width;
};

constexpr std::array<SignalInfo, kCount> kSignals = {{
    {"frequency_code", 11},
    {"reg6_level", 8},
    {"reg3_bit7", 1},
    {"reg9_bits6_3", 4},
    {"guard_armed", 1},
    {"post_code", 8},
    {"acpi_decoding", 1},
    {"timer_wait", 1},
    {"smbus_scl", 1},
    {"smbus_sda", 1},
}};

// Identifier codes: one printable character each, from '!'.
char Id(size_t signal) { return static_cast<char>('!' + signal); }

using Value = std::optional<uint64_t>;  // nullopt: unknown (x)

std::string Format(size_t signal, const Value& value) {
  unsigned width = kSignals[signal].width;
  std::string bits;
  for (unsigned bit = width; bit-- > 0;) {
    bits += value ? (((*value >> bit) & 1) != 0 ? '1' : '0') : 'x';
  }
  return width == 1 ? fmt::format("{}{}", bits, Id(signal))
                    : fmt::format("b{} {}", bits, Id(signal));
}

// Collects value changes in time order (virtual ns) and writes each time
// step's net changes.
class ChangeWriter {
 public:
  ChangeWriter(std::ostream& out, const std::array<Value, kCount>& initial,
               const std::array<bool, kCount>& shown)
      : out_(out), written_(initial), pending_(initial), shown_(shown) {}

  void Set(uint64_t t, size_t signal, Value value) {
    uint64_t step = t / kTimescaleNs;
    if (step > now_) {
      Flush();
      now_ = step;
    }
    pending_[signal] = value;
  }

  void Finish(uint64_t end) {
    Flush();
    if (end / kTimescaleNs > lastStamp_) {
      out_ << '#' << end / kTimescaleNs << '\n';
    }
  }

 private:
  void Flush() {
    bool stamped = false;
    for (size_t s = 0; s < kCount; ++s) {
      if (pending_[s] == written_[s] || !shown_[s]) {
        continue;
      }
      if (!stamped) {
        out_ << '#' << now_ << '\n';
        lastStamp_ = now_;
        stamped = true;
      }
      out_ << Format(s, pending_[s]) << '\n';
      written_[s] = pending_[s];
    }
  }

  std::ostream& out_;
  std::array<Value, kCount> written_;
  std::array<Value, kCount> pending_;
  std::array<bool, kCount> shown_;
  uint64_t now_ = 0;
  uint64_t lastStamp_ = 0;
};

void SetClockGen(ChangeWriter& w, uint64_t t, const ClockGenReplay& cg) {
  w.Set(t, kCode, cg.Code());
  w.Set(t, kLevel, cg.Register(6));
  w.Set(t, kOutput, (cg.Register(3) >> 7) & 1);
  w.Set(t, kStepBits, (cg.Register(9) >> 3) & 0xF);
}

std::string Now() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

void WriteVcd(std::ostream& out, const board::BoardConfig& config,
              std::span<const board::Event> events, const VcdOptions& options) {
  ClockGenReplay clockGen(config);
  SuperIoReplay sio(config);
  PlatformControllerReplay pch(config);
  std::map<size_t, TimerWait> waits;
  for (const TimerWait& w : FindTimerWaits(events, StepDelayTicks(config))) {
    waits.emplace(w.first, w);
  }

  // The bus lines, merged into the other changes in time order.
  const std::vector<BusLevels> bus = SmbusWaveform(SmbusTransfers(events));
  size_t nextBus = 0;

  std::array<Value, kCount> initial{};
  initial[kCode] = clockGen.Code();
  initial[kLevel] = clockGen.Register(6);
  initial[kOutput] = (clockGen.Register(3) >> 7) & 1;
  initial[kStepBits] = (clockGen.Register(9) >> 3) & 0xF;
  initial[kGuard] = sio.GuardArmed() ? 1 : 0;
  initial[kPost] = std::nullopt;
  initial[kDecoding] = pch.AcpiDecoding() ? 1 : 0;
  initial[kWait] = 0;
  initial[kScl] = 1;
  initial[kSda] = 1;

  out << "$date\n  " << (options.date.empty() ? Now() : options.date) << "\n$end\n";
  out << "$version\n  " << options.version << "\n$end\n";
  out << "$timescale " << kTimescaleNs << " ns $end\n";
  out << "$scope module clockramp $end\n";
  std::array<bool, kCount> shown{};
  for (size_t s = 0; s < kCount; ++s) {
    shown[s] = !options.oneBitOnly || kSignals[s].width == 1;
  }
  for (size_t s = 0; s < kCount; ++s) {
    if (!shown[s]) {
      continue;
    }
    const SignalInfo& info = kSignals[s];
    std::string range = info.width == 1 ? "" : fmt::format(" [{}:0]", info.width - 1);
    out << fmt::format("$var wire {} {} {}{} $end\n", info.width, Id(s), info.name, range);
  }
  out << "$upscope $end\n$enddefinitions $end\n";
  out << "#0\n$dumpvars\n";
  for (size_t s = 0; s < kCount; ++s) {
    if (shown[s]) {
      out << Format(s, initial[s]) << '\n';
    }
  }
  out << "$end\n";

  ChangeWriter writer(out, initial, shown);
  // Draws the bus up to (not including) time t.
  auto busUntil = [&](uint64_t t) {
    for (; nextBus < bus.size() && bus[nextBus].t < t; ++nextBus) {
      writer.Set(bus[nextBus].t, kScl, bus[nextBus].scl ? 1 : 0);
      writer.Set(bus[nextBus].t, kSda, bus[nextBus].sda ? 1 : 0);
    }
  };
  for (size_t i = 0; i < events.size(); ++i) {
    busUntil(events[i].t + 1);
    if (auto wait = waits.find(i); wait != waits.end()) {
      writer.Set(wait->second.start, kWait, 1);
      writer.Set(wait->second.end, kWait, 0);
      i = wait->second.last;
      continue;
    }
    const board::Event& e = events[i];
    uint64_t done = i + 1 < events.size() ? events[i + 1].t : e.t;
    busUntil(done);
    if (clockGen.Apply(e)) {
      SetClockGen(writer, done, clockGen);
    } else if (sio.Apply(e)) {
      writer.Set(done, kGuard, sio.GuardArmed() ? 1 : 0);
    } else if (pch.Apply(e)) {
      writer.Set(done, kDecoding, pch.AcpiDecoding() ? 1 : 0);
    } else if (e.kind == board::EventKind::Io && e.address == board::PostPort::kPort &&
               e.op == static_cast<uint8_t>(board::IoOp::Out)) {
      writer.Set(done, kPost, e.value & 0xFF);
    }
  }
  busUntil(UINT64_MAX);
  writer.Finish(std::max(events.empty() ? 0 : events.back().t, bus.empty() ? 0 : bus.back().t));
}

}  // namespace clockramp::tool
