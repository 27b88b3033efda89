// The ACPI timer waits of a run, told apart as its events go by.
//
// A busy-wait on the ACPI PM timer is a run of 32-bit reads of port 0x508.
// With PAUSE lines in the run a wait is told apart exactly: it is a first
// reading, the first check right after it, and every further reading that
// follows a PAUSE. An engine that records no PAUSE gives runs of bare
// readings; those are cut where a reading reaches the expected ticks past the
// first one (the delay "Setup" asks for), or kept whole without them.
//
// WaitSplitter is a sink that does this in one pass, keeping only the wait
// being read: it hands each event that is not part of a wait, and each wait
// once it has ended, to a WaitObserver, in run order.
#ifndef CLOCKRAMP_BOARD_TIMERWAIT_H_
#define CLOCKRAMP_BOARD_TIMERWAIT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "board/Event.h"
#include "board/EventSink.h"

namespace board {

// The port the module polls the ACPI PM timer at (ACPI base 0x500 + 8).
inline constexpr uint16_t kTimerPort = 0x508;

// One busy-wait: consecutive readings of port 0x508.
struct TimerWait {
  size_t first = 0;    // index of the first reading in the run
  size_t last = 0;     // index of the last reading
  uint64_t start = 0;  // t of the first reading
  uint64_t end = 0;    // t of the line after the last reading (its own t if none)
  uint32_t polls = 0;  // readings
  uint32_t firstValue = 0;
  uint32_t lastValue = 0;
  // Whether every reading was a 24-bit timer value (a port nothing decodes
  // reads all ones).
  bool answered = true;
  // Timer ticks from the first reading to the last (24-bit wrap).
  [[nodiscard]] uint32_t Ticks() const { return (lastValue - firstValue) & 0xFFFFFF; }
};

// True for a 32-bit read of port 0x508.
bool IsTimerRead(const Event& event);

// What a WaitSplitter hands on.
class WaitObserver {
 public:
  WaitObserver() = default;
  WaitObserver(const WaitObserver&) = default;
  WaitObserver& operator=(const WaitObserver&) = default;
  WaitObserver(WaitObserver&&) = default;
  WaitObserver& operator=(WaitObserver&&) = default;
  virtual ~WaitObserver() = default;

  // An event outside any wait (or a processor line after a wait's last
  // reading): its index in the run, and `done`, the t of the line after it
  // (its own t for the last line).
  virtual void OnAccess(size_t index, const Event& event, uint64_t done) = 0;
  // A wait that has ended, before the line that ended it.
  virtual void OnWait(const TimerWait& wait) = 0;
  // The run has ended; called once, after everything else.
  virtual void OnEnd() {}
};

class WaitSplitter final : public EventSink {
 public:
  // `expectedTicks` cuts runs of bare readings (see above). `pauses` says
  // whether the run has PAUSE lines; when not known in advance, a PAUSE seen
  // so far counts (an engine that records them pauses inside every wait).
  explicit WaitSplitter(WaitObserver& observer, std::optional<uint32_t> expectedTicks = {},
                        std::optional<bool> pauses = {});

  void OnEvent(const Event& event) override;
  // Ends the run: hands on the last wait or line and calls OnEnd. Once only.
  void Finish();

 private:
  // Hands on the line held back until the next one gives its `done`.
  void Release(uint64_t next);
  void Hold(const Event& event, size_t index);
  void CloseWait();
  [[nodiscard]] bool Continues(const Event& event) const;

  WaitObserver& observer_;
  std::optional<uint32_t> expectedTicks_;
  bool pausesKnown_ = false;
  bool pauses_ = false;
  size_t index_ = 0;
  std::optional<Event> held_;
  size_t heldIndex_ = 0;
  // The wait being read, and what came after its last reading so far.
  std::optional<TimerWait> wait_;
  bool firstCheck_ = false;
  bool pausedSince_ = false;
  std::vector<std::pair<size_t, Event>> after_;
};

// The waits of a whole sequence of events.
std::vector<TimerWait> FindTimerWaits(std::span<const Event> events,
                                      std::optional<uint32_t> expectedTicks = std::nullopt);

}  // namespace board

#endif  // CLOCKRAMP_BOARD_TIMERWAIT_H_
