// Where a run's events go as they happen. The board hands every access to
// one sink, at the moment it records it; a sink keeps, writes or compares
// what it needs and nothing more. The in-memory Trace is one sink, the JSON
// Lines writer another; FanOut hands each event to several.
#ifndef CLOCKRAMP_BOARD_EVENTSINK_H_
#define CLOCKRAMP_BOARD_EVENTSINK_H_

#include <vector>

#include "board/Event.h"

namespace board {

class EventSink {
 public:
  EventSink() = default;
  EventSink(const EventSink&) = default;
  EventSink& operator=(const EventSink&) = default;
  EventSink(EventSink&&) = default;
  EventSink& operator=(EventSink&&) = default;
  virtual ~EventSink() = default;

  // Takes the next event of the run, in order. `event` lives only for the call.
  virtual void OnEvent(const Event& event) = 0;
};

// Hands each event to every sink it was given, in the order given. The sinks
// must outlive it.
class FanOut final : public EventSink {
 public:
  FanOut() = default;
  explicit FanOut(std::vector<EventSink*> sinks) : sinks_(std::move(sinks)) {}

  // Adds a sink after the ones already there.
  void Add(EventSink& sink) { sinks_.push_back(&sink); }

  void OnEvent(const Event& event) override {
    for (EventSink* sink : sinks_) {
      sink->OnEvent(event);
    }
  }

 private:
  std::vector<EventSink*> sinks_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_EVENTSINK_H_
