#include "board/JsonlWriter.h"

#include <charconv>

#include <nlohmann/json.hpp>

namespace board {
namespace {

// Flush the line buffer to the stream past this size.
constexpr size_t kFlushBytes = 1 << 16;

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  (void)error;  // 24 characters hold any 64-bit number
  out.append(digits, end);
}

// `,"key":value`
void AppendField(std::string& out, const char* key, uint64_t value) {
  out += ",\"";
  out += key;
  out += "\":";
  AppendNumber(out, value);
}

}  // namespace

void AppendJsonLine(std::string& out, const Event& e) {
  switch (e.kind) {
    case EventKind::Io:
      out += "{\"t\":";
      AppendNumber(out, e.t);
      out += e.op == static_cast<uint8_t>(IoOp::In) ? R"(,"ev":"io","op":"in")"
                                                    : R"(,"ev":"io","op":"out")";
      AppendField(out, "port", e.address);
      AppendField(out, "width", e.width);
      AppendField(out, "value", e.value);
      out += '}';
      return;
    case EventKind::Cpu:
      out += "{\"t\":";
      AppendNumber(out, e.t);
      out += e.op == static_cast<uint8_t>(CpuOp::Sidt) ? R"(,"ev":"cpu","op":"sidt"})"
                                                       : R"(,"ev":"cpu","op":"pause"})";
      return;
    default:
      out += ToOrderedJson(e).dump();
      return;
  }
}

std::string WaitJsonLine(const TimerWait& w) {
  std::string line = "{\"t\":";
  AppendNumber(line, w.start);
  line += R"(,"ev":"wait")";
  AppendField(line, "port", kTimerPort);
  AppendField(line, "reads", w.polls);
  AppendField(line, "first", w.firstValue);
  AppendField(line, "last", w.lastValue);
  AppendField(line, "ticks", w.Ticks());
  line += '}';
  return line;
}

JsonlWriter::JsonlWriter(std::ostream& out, JsonlForm form, std::optional<uint32_t> expectedTicks)
    : out_(out), form_(form), lines_(*this), splitter_(lines_, expectedTicks) {}

void JsonlWriter::OnEvent(const Event& event) {
  if (form_ == JsonlForm::Full) {
    Write(event);
  } else {
    splitter_.OnEvent(event);
  }
}

void JsonlWriter::Write(const Event& event) {
  AppendJsonLine(buffer_, event);
  buffer_ += '\n';
  if (buffer_.size() >= kFlushBytes) {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }
}

void JsonlWriter::Finish() {
  if (form_ == JsonlForm::Waits) {
    splitter_.Finish();
  }
  out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
}

void JsonlWriter::WaitLines::OnAccess(size_t /*index*/, const Event& event, uint64_t /*done*/) {
  if (event.kind == EventKind::Cpu && event.op == static_cast<uint8_t>(CpuOp::Pause)) {
    return;
  }
  writer_.Write(event);
}

void JsonlWriter::WaitLines::OnWait(const TimerWait& wait) {
  writer_.buffer_ += WaitJsonLine(wait);
  writer_.buffer_ += '\n';
}

}  // namespace board
