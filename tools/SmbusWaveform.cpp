#include "tools/SmbusWaveform.h"

#include <algorithm>

#include "board/VirtualClock.h"

namespace clockramp::tool {
namespace {

constexpr uint64_t kBit = board::cost::kSmbusBitNs;
constexpr uint64_t kQuarter = kBit / 4;

// Records level changes, dropping those that change nothing.
class Lines {
 public:
  void Scl(uint64_t t, bool level) { Set(t, level, now_.sda); }
  void Sda(uint64_t t, bool level) { Set(t, now_.scl, level); }
  [[nodiscard]] std::vector<BusLevels> Take() { return std::move(changes_); }

 private:
  void Set(uint64_t t, bool scl, bool sda) {
    if (scl == now_.scl && sda == now_.sda) {
      return;
    }
    now_ = {t, scl, sda};
    if (!changes_.empty() && changes_.back().t == t) {
      changes_.back() = now_;
    } else {
      changes_.push_back(now_);
    }
  }

  BusLevels now_;
  std::vector<BusLevels> changes_;
};

// One bit time from `s` carrying a data bit.
void DataBit(Lines& lines, uint64_t s, bool bit) {
  lines.Scl(s, false);
  lines.Sda(s + kQuarter, bit);
  lines.Scl(s + 2 * kQuarter, true);
}

}  // namespace

std::vector<BusLevels> SmbusWaveform(std::span<const SmbusTransfer> transfers) {
  Lines lines;
  uint64_t free = 0;  // when the bus is idle again
  for (const SmbusTransfer& transfer : transfers) {
    uint64_t s = std::max(transfer.t, free);
    for (const WireSymbol& symbol : WireSymbols(transfer)) {
      switch (symbol.kind) {
        case WireSymbol::Kind::Start:  // from idle: SCL high throughout
          lines.Sda(s + 2 * kQuarter, false);
          s += kBit;
          break;
        case WireSymbol::Kind::RepeatedStart:
          lines.Scl(s, false);
          lines.Sda(s + kQuarter, true);
          lines.Scl(s + 2 * kQuarter, true);
          lines.Sda(s + 3 * kQuarter, false);
          s += kBit;
          break;
        case WireSymbol::Kind::Stop:
          lines.Scl(s, false);
          lines.Sda(s + kQuarter, false);
          lines.Scl(s + 2 * kQuarter, true);
          lines.Sda(s + 3 * kQuarter, true);
          s += kBit;
          break;
        case WireSymbol::Kind::Byte:
          for (int bit = 7; bit >= 0; --bit) {
            DataBit(lines, s, ((symbol.value >> bit) & 1) != 0);
            s += kBit;
          }
          DataBit(lines, s, !symbol.ack);  // acknowledge: SDA pulled low
          s += kBit;
          break;
      }
    }
    free = s;
  }
  return lines.Take();
}

}  // namespace clockramp::tool
