#include "tools/SmbusWire.h"

#include <fmt/format.h>

#include "board/VirtualClock.h"

namespace clockramp::tool {
namespace {

using Kind = WireSymbol::Kind;

WireSymbol Byte(uint8_t value, bool ack, bool read = false) {
  return WireSymbol{Kind::Byte, value, ack, false, read};
}

WireSymbol AddressByte(uint64_t address, bool read, bool ack) {
  return WireSymbol{Kind::Byte, static_cast<uint8_t>(((address & 0x7F) << 1) | (read ? 1 : 0)), ack,
                    true, false};
}

// Whether the operation's first address byte carries R (the operations that
// start by reading, with no command byte).
bool StartsWithRead(uint8_t operation) {
  auto op = static_cast<board::SmbusOperation>(operation);
  return op == board::SmbusOperation::QuickRead || op == board::SmbusOperation::ReceiveByte;
}

}  // namespace

std::vector<SmbusTransfer> SmbusTransfers(std::span<const board::Event> events) {
  std::vector<SmbusTransfer> transfers;
  for (const board::Event& e : events) {
    if (e.kind == board::EventKind::Smbus) {
      transfers.push_back({e.t, e.op, e.address, e.value, e.length, e.Data(), e.status});
    }
  }
  return transfers;
}

std::vector<WireSymbol> WireSymbols(const SmbusTransfer& transfer) {
  auto op = static_cast<board::SmbusOperation>(transfer.operation);
  bool block = op == board::SmbusOperation::WriteBlock || op == board::SmbusOperation::ReadBlock;
  // A warning is a transfer that was carried out; only an error stopped it.
  bool failed = (transfer.status & 0x80000000U) != 0;
  if (failed || !block) {
    return {WireSymbol{Kind::Start},
            AddressByte(transfer.address, StartsWithRead(transfer.operation), false),
            WireSymbol{Kind::Stop}};
  }
  auto count = static_cast<uint8_t>(transfer.data.size());
  std::vector<WireSymbol> symbols = {WireSymbol{Kind::Start},
                                     AddressByte(transfer.address, false, true),
                                     Byte(static_cast<uint8_t>(transfer.command), true)};
  if (op == board::SmbusOperation::WriteBlock) {
    symbols.push_back(Byte(count, true));
    for (uint8_t b : transfer.data) {
      symbols.push_back(Byte(b, true));
    }
  } else {
    symbols.push_back(WireSymbol{Kind::RepeatedStart});
    symbols.push_back(AddressByte(transfer.address, true, true));
    // The host acknowledges every byte it reads but the last.
    symbols.push_back(Byte(count, !transfer.data.empty(), true));
    for (size_t i = 0; i < transfer.data.size(); ++i) {
      symbols.push_back(Byte(transfer.data[i], i + 1 < transfer.data.size(), true));
    }
  }
  symbols.push_back(WireSymbol{Kind::Stop});
  return symbols;
}

uint64_t WireBits(std::span<const WireSymbol> symbols) {
  uint64_t bits = 0;
  for (const WireSymbol& s : symbols) {
    bits += s.kind == Kind::Byte ? board::cost::kSmbusByteBits : 1;
  }
  return bits;
}

std::string FormatSymbols(std::span<const WireSymbol> symbols) {
  std::string text;
  for (const WireSymbol& s : symbols) {
    if (!text.empty()) {
      text += ' ';
    }
    switch (s.kind) {
      case Kind::Start:
        text += 'S';
        break;
      case Kind::RepeatedStart:
        text += "Sr";
        break;
      case Kind::Stop:
        text += 'P';
        break;
      case Kind::Byte:
        text += s.address ? fmt::format("{:02X}+{}", s.value >> 1, (s.value & 1) != 0 ? 'R' : 'W')
                          : fmt::format("{:02X}", s.value);
        text += s.ack ? " A" : " N";
        break;
    }
  }
  return text;
}

}  // namespace clockramp::tool
