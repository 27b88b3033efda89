// SMBus transactions as they travel on the wire: start, address byte with
// the R/W bit, acknowledges, command, count, data, repeated start, stop.
// The timeline draws these symbols on SCL and SDA, and a logic-analyzer
// capture is compared against them.
//
// The board completes only block transactions:
//   block write: S, addr+W, A, command, A, count n, A, n data bytes each A, P
//   block read:  S, addr+W, A, command, A, Sr, addr+R, A, count n, A,
//                n data bytes (the host acknowledges each but the last), P
//                where n is the number of bytes the read delivered;
//   anything that failed (an error status): S, address byte, NACK, P.
// A transaction that answered a warning was carried out and is drawn whole.
// These are exactly the bits the board charges for each transaction, so the
// symbols fill its time from its start to the next access.
#ifndef CLOCKRAMP_TOOLS_SMBUSWIRE_H_
#define CLOCKRAMP_TOOLS_SMBUSWIRE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "board/Event.h"

namespace clockramp::tool {

// One SMBus Execute as the trace records it.
struct SmbusTransfer {
  uint64_t t = 0;         // virtual ns at which it began
  uint8_t operation = 0;  // EFI_SMBUS_OPERATION
  uint64_t address = 0;   // 7-bit slave address
  uint64_t command = 0;
  uint64_t length = 0;        // Length passed in
  std::vector<uint8_t> data;  // written bytes, or bytes a read delivered
  uint32_t status = 0;
};

// The "smbus" lines of a trace, in order.
std::vector<SmbusTransfer> SmbusTransfers(std::span<const board::Event> events);

struct WireSymbol {
  enum class Kind : uint8_t { Start, RepeatedStart, Stop, Byte };
  Kind kind = Kind::Start;
  uint8_t value = 0;     // Byte: the eight bits, most significant first on the wire
  bool ack = false;      // Byte: the ninth bit was an acknowledge (SDA low)
  bool address = false;  // Byte: an address byte (address << 1 | R/W)
  bool read = false;     // Byte: sent by the device (data a read returns)

  bool operator==(const WireSymbol&) const = default;
};

// The symbols of one transaction.
std::vector<WireSymbol> WireSymbols(const SmbusTransfer& transfer);

// Bit times the symbols take: one for a start, repeated start or stop, nine
// for a byte with its acknowledge.
uint64_t WireBits(std::span<const WireSymbol> symbols);

// "S 6B+W A 08 A 01 A 11 A P": the symbols in one line, for messages.
std::string FormatSymbols(std::span<const WireSymbol> symbols);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_SMBUSWIRE_H_
