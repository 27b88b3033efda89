// The SMBus on the wire: the symbols of each kind of transaction, that they
// fill exactly the time the board charges, and that SCL/SDA as drawn decode
// back (with a decoder of the test's own, sampling SDA on SCL's rising edge)
// to those symbols, on hand-made transfers and on the default board's run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/NativeEngine.h"
#include "board/VirtualClock.h"
#include "tools/SmbusWaveform.h"
#include "tools/SmbusWire.h"

namespace clockramp::tool {
namespace {

constexpr auto kWrite = static_cast<uint8_t>(board::SmbusOperation::WriteBlock);
constexpr auto kRead = static_cast<uint8_t>(board::SmbusOperation::ReadBlock);

TEST(SmbusWire, SymbolsOfEachTransactionFillTheTimeTheBoardCharges) {
  struct Case {
    SmbusTransfer transfer;
    std::string symbols;
    uint64_t bits;
  };
  const std::vector<Case> cases = {
      {{0, kWrite, 0x6B, 19, 2, {0x00, 0x04}, 0},
       "S 6B+W A 13 A 02 A 00 A 04 A P",
       board::cost::SmbusBlockWriteBits(2)},
      {{0, kRead, 0x6B, 0, 17, {0x11, 0x22}, 0},
       "S 6B+W A 00 A Sr 6B+R A 02 A 11 A 22 N P",
       board::cost::SmbusBlockReadBits(2)},
      {{0, kRead, 0x6B, 17, 18, {}, 0},
       "S 6B+W A 11 A Sr 6B+R A 00 N P",
       board::cost::SmbusBlockReadBits(0)},
      {{0, kWrite, 0x6B, 19, 2, {0x00, 0x04}, 0x80000007},
       "S 6B+W N P",
       board::cost::kSmbusFailedBits},
      {{0, kRead, 0x50, 0, 17, {}, 0x80000007}, "S 50+W N P", board::cost::kSmbusFailedBits},
      {{0, kWrite, 0x6B, 6, 1, {0xFF}, 0x00000004},  // a warning: carried out
       "S 6B+W A 06 A 01 A FF A P",
       board::cost::SmbusBlockWriteBits(1)},
      {{0, static_cast<uint8_t>(board::SmbusOperation::ReceiveByte), 0x6B, 0, 1, {}, 0x80000003},
       "S 6B+R N P",
       board::cost::kSmbusFailedBits},
  };
  for (const Case& c : cases) {
    std::vector<WireSymbol> symbols = WireSymbols(c.transfer);
    EXPECT_EQ(FormatSymbols(symbols), c.symbols);
    EXPECT_EQ(WireBits(symbols), c.bits) << c.symbols;
  }
}

// SCL and SDA at every change, decoded as an I2C receiver would: a start or
// stop is SDA moving while SCL is high; otherwise a bit is SDA while SCL is
// high, taken when SCL falls again.
std::vector<std::vector<WireSymbol>> Decode(const std::vector<BusLevels>& levels) {
  std::vector<std::vector<WireSymbol>> transactions;
  BusLevels now;
  std::vector<bool> bits;
  bool clocked = false;     // SCL rose outside a start or stop
  bool clockedSda = false;  // SDA as it rose
  auto symbols = [&]() -> std::vector<WireSymbol>& { return transactions.back(); };
  for (const BusLevels& next : levels) {
    EXPECT_FALSE(next.scl != now.scl && next.sda != now.sda) << "both lines move at " << next.t;
    if (now.scl && next.scl && now.sda != next.sda) {
      EXPECT_TRUE(bits.empty()) << "start or stop inside a byte at " << next.t;
      clocked = false;
      if (next.sda) {  // SDA rises: stop
        symbols().push_back({WireSymbol::Kind::Stop});
      } else if (transactions.empty() || symbols().back().kind == WireSymbol::Kind::Stop) {
        transactions.emplace_back().push_back({WireSymbol::Kind::Start});
      } else {
        symbols().push_back({WireSymbol::Kind::RepeatedStart});
      }
    } else if (!now.scl && next.scl) {
      clocked = true;
      clockedSda = next.sda;
    } else if (now.scl && !next.scl && clocked) {
      bits.push_back(clockedSda);
      clocked = false;
      if (bits.size() == 9) {
        WireSymbol byte{WireSymbol::Kind::Byte};
        for (size_t i = 0; i < 8; ++i) {
          byte.value = static_cast<uint8_t>(byte.value << 1 | (bits[i] ? 1 : 0));
        }
        byte.ack = !bits[8];
        auto previous = symbols().back().kind;
        byte.address =
            previous == WireSymbol::Kind::Start || previous == WireSymbol::Kind::RepeatedStart;
        symbols().push_back(byte);
        bits.clear();
      }
    }
    now = next;
  }
  EXPECT_TRUE(now.scl && now.sda) << "the bus ends idle";
  return transactions;
}

// The symbols without what the lines cannot show (who drove a byte).
std::string Wire(std::vector<WireSymbol> symbols) {
  for (WireSymbol& s : symbols) {
    s.read = false;
  }
  return FormatSymbols(symbols);
}

void ExpectWaveformCarries(const std::vector<SmbusTransfer>& transfers) {
  std::vector<BusLevels> levels = SmbusWaveform(transfers);
  std::vector<std::vector<WireSymbol>> decoded = Decode(levels);
  ASSERT_EQ(decoded.size(), transfers.size());
  size_t next = 0;
  for (size_t i = 0; i < transfers.size(); ++i) {
    std::vector<WireSymbol> expected = WireSymbols(transfers[i]);
    EXPECT_EQ(FormatSymbols(decoded[i]), Wire(expected)) << "transaction " << i;
    // Every change of this transaction lies within its charged time.
    uint64_t end = transfers[i].t + WireBits(expected) * board::cost::kSmbusBitNs;
    for (; next < levels.size() && levels[next].t < end; ++next) {
      EXPECT_GE(levels[next].t, transfers[i].t) << "transaction " << i;
    }
  }
  EXPECT_EQ(next, levels.size());
}

TEST(SmbusWaveform, LinesDecodeToTheSymbolsWithinEachTransactionsTime) {
  uint64_t write = board::cost::SmbusBlockWriteBits(1) * board::cost::kSmbusBitNs;
  ExpectWaveformCarries({
      {0, kWrite, 0x6B, 8, 1, {0x11}, 0},
      {write, kRead, 0x6B, 0, 17, {0xFF, 0x00, 0xA5}, 0},
      {write + 1'000'000, kWrite, 0x6B, 19, 2, {0x00, 0x04}, 0x80000007},
      {write + 1'110'000, kRead, 0x6B, 17, 17, {}, 0},  // right after the failure
  });
}

TEST(SmbusWaveform, DefaultBoardRunDecodesTransactionByTransaction) {
  board::RunResult run = board::RunNative(board::BoardConfig{});
  std::vector<SmbusTransfer> transfers = SmbusTransfers(run.trace().Events());
  ASSERT_GT(transfers.size(), 100U);
  ExpectWaveformCarries(transfers);
}

}  // namespace
}  // namespace clockramp::tool
