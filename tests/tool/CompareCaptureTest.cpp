// Reading sigrok's I2C annotations back into transactions, the errors for
// lines that are not, and how compare-capture reports the first difference
// (a byte, an acknowledge, a transaction missing or added, a capture cut short).
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/CompareCapture.h"
#include "tools/SigrokCapture.h"
#include "tools/SmbusWire.h"

namespace clockramp::tool {
namespace {

constexpr auto kWrite = static_cast<uint8_t>(board::SmbusOperation::WriteBlock);
constexpr auto kRead = static_cast<uint8_t>(board::SmbusOperation::ReadBlock);

const std::vector<SmbusTransfer> kTransfers = {
    {0, kWrite, 0x6B, 8, 1, {0x11}, 0},
    {380'000, kRead, 0x6B, 0, 17, {0x20, 0xC5}, 0},
    {1'000'000, kWrite, 0x6B, 19, 2, {0x00, 0x04}, 0x80000007},
    {1'110'000, kWrite, 0x6B, 3, 1, {0x80}, 0},
};

// sigrok-cli's lines for one transfer, bits and R/W lines included, as the
// decoder prints them.
std::string Annotations(const SmbusTransfer& t) {
  std::string text = "i2c-1: Start\n";
  auto byte = [&](const std::string& what, uint8_t value, bool ack) {
    for (int bit = 0; bit < 8; ++bit) {
      text += (value >> bit) & 1 ? "i2c-1: 1\n" : "i2c-1: 0\n";
    }
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", value);
    text += "i2c-1: " + what + hex + "\n" + (ack ? "i2c-1: ACK\n" : "i2c-1: NACK\n");
  };
  if (t.status != 0) {
    text += "i2c-1: Write\n";
    byte("Address write: ", 0x6B, false);
    return text + "i2c-1: Stop\n";
  }
  text += "i2c-1: Write\n";
  byte("Address write: ", 0x6B, true);
  byte("Data write: ", static_cast<uint8_t>(t.command), true);
  if (t.operation == kWrite) {
    byte("Data write: ", static_cast<uint8_t>(t.data.size()), true);
    for (uint8_t b : t.data) {
      byte("Data write: ", b, true);
    }
  } else {
    text += "i2c-1: Start repeat\ni2c-1: Read\n";
    byte("Address read: ", 0x6B, true);
    byte("Data read: ", static_cast<uint8_t>(t.data.size()), !t.data.empty());
    for (size_t i = 0; i < t.data.size(); ++i) {
      byte("Data read: ", t.data[i], i + 1 < t.data.size());
    }
  }
  return text + "i2c-1: Stop\n";
}

std::string Capture(const std::vector<SmbusTransfer>& transfers) {
  std::string text;
  for (const SmbusTransfer& t : transfers) {
    text += Annotations(t);
  }
  return text;
}

TEST(SigrokCapture, AnnotationsReadBackAsTheTransactionsSymbols) {
  std::vector<CapturedTransaction> captured = ParseI2cCapture(Capture(kTransfers), "cap.txt");
  ASSERT_EQ(captured.size(), kTransfers.size());
  EXPECT_EQ(captured[0].line, 1U);
  for (size_t i = 0; i < kTransfers.size(); ++i) {
    EXPECT_EQ(captured[i].symbols, WireSymbols(kTransfers[i])) << i;
  }
  // A start with no stop before it ends the transaction there.
  captured = ParseI2cCapture(
      "i2c-1: Start\ni2c-1: Address write: 6B\ni2c-1: NACK\n\n"
      "i2c-1: Start\r\ni2c-1: Address read: 50\ni2c-1: ACK\n",
      "cap.txt");
  ASSERT_EQ(captured.size(), 2U);
  EXPECT_EQ(FormatSymbols(captured[0].symbols), "S 6B+W N");
  EXPECT_EQ(FormatSymbols(captured[1].symbols), "S 50+R A");
  EXPECT_EQ(captured[1].line, 5U);
}

TEST(SigrokCapture, LinesThatAreNotI2cAnnotationsAreRefusedWithTheirLine) {
  struct Case {
    std::string text;
    size_t line;
    const char* problem;
  };
  for (const Case& c : std::vector<Case>{
           {"Start\n", 1, "not a decoder line"},
           {"i2c-1: Start\ni2c-1: Parity error\n", 2, "not an I2C annotation"},
           {"i2c-1: ACK\n", 1, "ACK with no address or data byte"},
           {"i2c-1: Start\ni2c-1: Address write: 6B\ni2c-1: ACK\ni2c-1: NACK\n", 4,
            "NACK with no address"},
           {"i2c-1: Data write: 01\n", 1, "outside a transaction"},
           {"i2c-1: Start\ni2c-1: Stop\ni2c-1: Data read: 01\n", 3, "outside a transaction"},
           {"i2c-1: Start\ni2c-1: Address write: D6\n", 2, "not a 7-bit address"},
           {"i2c-1: Start\ni2c-1: Address write: 6B\ni2c-1: Data write: 1\n", 3,
            "where the last byte's ACK or NACK belongs"},
           {"i2c-1: Start\ni2c-1: Address write: 6B\ni2c-1: ACK\ni2c-1: Data write: 1\n", 4,
            "not a byte"},
       }) {
    SCOPED_TRACE(c.text);
    try {
      ParseI2cCapture(c.text, "cap.txt");
      ADD_FAILURE() << "accepted";
    } catch (const CaptureError& e) {
      std::string message = e.what();
      EXPECT_EQ(message.rfind("cap.txt:" + std::to_string(c.line) + ": ", 0), 0U) << message;
      EXPECT_NE(message.find(c.problem), std::string::npos) << message;
    }
  }
}

struct Difference {
  const char* name;
  std::string capture;
  std::vector<const char*> report;  // parts of the report
};

TEST(CompareCapture, ReportsTheFirstDifferenceWithItsContext) {
  std::vector<SmbusTransfer> ackedCode = kTransfers;
  ackedCode[2].status = 0;  // the capture shows the code write acknowledged
  std::vector<SmbusTransfer> otherByte = kTransfers;
  otherByte[3].data = {0x81};
  std::vector<SmbusTransfer> missing = kTransfers;
  missing.erase(missing.begin() + 1);
  std::vector<SmbusTransfer> extra = kTransfers;
  extra.insert(extra.begin() + 3, kTransfers[0]);
  const std::vector<Difference> cases = {
      {"one byte",
       Capture(otherByte),
       {"transaction #3 differs (3 match before it)", "module  #1 ", "module  #2 ",
        "module  #3         1.110 ms  S 6B+W A 03 A 01 A 80 A P", "capture #3    line ",
        "S 6B+W A 03 A 01 A 81 A P",
        "first difference at symbol 4: the module 80 A, the capture 81 A"}},
      {"an acknowledge",
       Capture(ackedCode),
       {"transaction #2 differs", "the module 6B+W N, the capture 6B+W A"}},
      {"a transaction missing",
       Capture(missing),
       {"transaction #1 differs", "the capture's #1 is the module's #2: the capture misses one"}},
      {"a transaction more",
       Capture(extra),
       {"transaction #3 differs", "the capture's #4 is the module's #3: the capture has one more"}},
      {"cut short",
       Capture({kTransfers[0], kTransfers[1]}),
       {"transaction #2 differs", "capture #2    none: the capture ends after 2 transactions"}},
      {"longer",
       Capture(kTransfers) + Annotations(kTransfers[0]),
       {"transaction #4 differs", "module  #4    none: the module makes 4 transactions"}},
  };
  for (const Difference& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out;
    EXPECT_FALSE(
        CompareTransactions(kTransfers, ParseI2cCapture(c.capture, "cap.txt"), "cap.txt", out));
    for (const char* part : c.report) {
      EXPECT_NE(out.str().find(part), std::string::npos) << part << "\n" << out.str();
    }
  }
  std::ostringstream out;
  EXPECT_TRUE(CompareTransactions(kTransfers, ParseI2cCapture(Capture(kTransfers), "cap.txt"),
                                  "cap.txt", out));
  EXPECT_EQ(out.str(), "cap.txt: all 4 transactions match the module's\n");
}

}  // namespace
}  // namespace clockramp::tool
