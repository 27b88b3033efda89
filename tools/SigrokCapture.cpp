#include "tools/SigrokCapture.h"

#include <charconv>
#include <optional>

#include <fmt/format.h>

#include "image/InputFile.h"
#include "image/Printable.h"
#include "tools/TextLines.h"

namespace clockramp::tool {
namespace {

using files::Printable;

using Kind = WireSymbol::Kind;

// Two hex digits, nothing else.
std::optional<uint8_t> HexByte(std::string_view text) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.size() != 2 || ec != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  return text;
}

}  // namespace

CaptureError::CaptureError(const std::string& source, size_t line, const std::string& problem)
    : std::runtime_error(line == 0 ? fmt::format("{}: {}", Printable(source), problem)
                                   : fmt::format("{}:{}: {}", Printable(source), line, problem)) {}

std::vector<CapturedTransaction> ParseI2cCapture(std::string_view text, const std::string& source) {
  std::vector<CapturedTransaction> transactions;
  bool open = false;       // inside a transaction
  bool awaitsAck = false;  // the last symbol is a byte without its acknowledge yet
  LineReader lines(text);
  for (std::string_view raw; lines.Next(raw);) {
    std::string_view line = Trim(raw);
    const size_t lineNumber = lines.Number();
    auto fail = [&](const std::string& problem) {
      throw CaptureError(source, lineNumber, problem);
    };
    if (line.empty()) {
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos || line.substr(0, colon).find(' ') != std::string::npos) {
      fail(fmt::format("\"{}\" is not a decoder line (\"i2c-1: Start\")", Printable(line, 80)));
    }
    std::string_view annotation = Trim(line.substr(colon + 2));
    if (annotation == "0" || annotation == "1" || annotation == "Write" || annotation == "Read") {
      continue;  // bits, and the R/W bit on its own
    }
    if (annotation == "Start") {
      transactions.push_back({{WireSymbol{Kind::Start}}, lineNumber});
      open = true;
      awaitsAck = false;
      continue;
    }
    if (annotation == "ACK" || annotation == "NACK") {
      if (!awaitsAck) {
        fail(fmt::format("{} with no address or data byte before it", Printable(annotation)));
      }
      transactions.back().symbols.back().ack = annotation == "ACK";
      awaitsAck = false;
      continue;
    }
    if (!open) {
      fail(fmt::format("\"{}\" outside a transaction (no Start before it)",
                       Printable(annotation, 80)));
    }
    if (awaitsAck) {
      fail(fmt::format("\"{}\" where the last byte's ACK or NACK belongs",
                       Printable(annotation, 80)));
    }
    std::vector<WireSymbol>& symbols = transactions.back().symbols;
    if (annotation == "Start repeat") {
      symbols.push_back(WireSymbol{Kind::RepeatedStart});
      continue;
    }
    if (annotation == "Stop") {
      symbols.push_back(WireSymbol{Kind::Stop});
      open = false;
      continue;
    }
    struct Form {
      std::string_view prefix;
      bool address;
      bool read;
    };
    bool known = false;
    for (const Form& form :
         {Form{"Address write: ", true, false}, Form{"Address read: ", true, true},
          Form{"Data write: ", false, false}, Form{"Data read: ", false, true}}) {
      if (annotation.substr(0, form.prefix.size()) != form.prefix) {
        continue;
      }
      std::optional<uint8_t> value = HexByte(annotation.substr(form.prefix.size()));
      if (!value || (form.address && *value > 0x7F)) {
        fail(fmt::format("\"{}\": not {} (two hex digits{})", Printable(annotation, 80),
                         form.address ? "a 7-bit address" : "a byte",
                         form.address ? "; decode with the default address_format" : ""));
      }
      WireSymbol byte{Kind::Byte};
      byte.address = form.address;
      byte.value = form.address ? static_cast<uint8_t>(*value << 1 | (form.read ? 1 : 0)) : *value;
      byte.read = !form.address && form.read;
      symbols.push_back(byte);
      awaitsAck = true;
      known = true;
      break;
    }
    if (!known) {
      fail(
          fmt::format("\"{}\" is not an I2C annotation (Start, Start repeat, Stop, ACK, NACK, "
                      "Address read/write: XX, Data read/write: XX)",
                      Printable(annotation, 80)));
    }
  }
  return transactions;
}

std::vector<CapturedTransaction> LoadI2cCapture(const std::string& path) {
  std::string text;
  try {
    text = files::ReadInputText(path, files::kTextFileLimit, "capture");
  } catch (const files::InputError& e) {
    throw CaptureError(path, 0, e.Problem());
  }
  return ParseI2cCapture(text, path);
}

}  // namespace clockramp::tool
