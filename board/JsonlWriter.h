// The trace as JSON Lines, written as the run goes (docs/board.md).
//
// The full form is the faithful record: one line per event, exactly as
// ToOrderedJson gives it. The waits form writes each ACPI timer wait as one
// "wait" line (port, number of reads, first and last value, ticks) in place
// of its readings, and leaves out the PAUSE lines; every other line is as in
// the full form.
#ifndef CLOCKRAMP_BOARD_JSONLWRITER_H_
#define CLOCKRAMP_BOARD_JSONLWRITER_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "board/Event.h"
#include "board/EventSink.h"
#include "board/TimerWait.h"

namespace board {

enum class JsonlForm : uint8_t { Full, Waits };

class JsonlWriter final : public EventSink {
 public:
  // `out` must outlive the writer. `expectedTicks` is the settle delay in
  // timer ticks, used by the waits form to cut runs without PAUSE lines
  // (board/TimerWait.h).
  explicit JsonlWriter(std::ostream& out, JsonlForm form = JsonlForm::Full,
                       std::optional<uint32_t> expectedTicks = std::nullopt);

  void OnEvent(const Event& event) override;
  // Writes what the waits form still holds (the last wait). Once, at the end.
  void Finish();

 private:
  class WaitLines final : public WaitObserver {
   public:
    explicit WaitLines(JsonlWriter& writer) : writer_(writer) {}
    void OnAccess(size_t index, const Event& event, uint64_t done) override;
    void OnWait(const TimerWait& wait) override;

   private:
    JsonlWriter& writer_;
  };

  void Write(const Event& event);

  std::ostream& out_;
  JsonlForm form_;
  WaitLines lines_;
  WaitSplitter splitter_;
  std::string buffer_;
};

// One event's line, without the newline: the same text as
// ToOrderedJson(event).dump(), written faster for the frequent kinds.
void AppendJsonLine(std::string& out, const Event& event);

// The waits form's line of one wait, without the newline.
std::string WaitJsonLine(const TimerWait& wait);

}  // namespace board

#endif  // CLOCKRAMP_BOARD_JSONLWRITER_H_
