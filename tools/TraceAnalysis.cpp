#include "tools/TraceAnalysis.h"

#include <algorithm>
#include <set>

#include "board/AcpiTimer.h"
#include "board/PostPort.h"
#include "board/Status.h"

namespace clockramp::tool {
namespace {

using board::Event;
using board::EventKind;

bool IsTimerRead(const Event& e) {
  return e.kind == EventKind::Io && e.op == static_cast<uint8_t>(board::IoOp::In) &&
         e.address == kTimerPort && e.width == 32;
}

bool IsCpu(const Event& e) { return e.kind == EventKind::Cpu; }

bool IsPause(const Event& e) {
  return e.kind == EventKind::Cpu && e.op == static_cast<uint8_t>(board::CpuOp::Pause);
}

bool IsStepBegin(const Event& e) {
  return e.kind == EventKind::Io && e.op == static_cast<uint8_t>(board::IoOp::Out) &&
         e.address == board::PostPort::kPort && (e.value & 0xFF) == kPostStepBegin;
}

// Starts a wait at a reading.
TimerWait Begin(std::span<const Event> events, size_t index) {
  TimerWait wait;
  wait.first = wait.last = index;
  wait.start = events[index].t;
  wait.polls = 1;
  wait.firstValue = wait.lastValue = static_cast<uint32_t>(events[index].value);
  wait.answered = events[index].value <= board::AcpiTimer::kMask;
  return wait;
}

void Extend(TimerWait& wait, std::span<const Event> events, size_t index) {
  wait.last = index;
  ++wait.polls;
  wait.lastValue = static_cast<uint32_t>(events[index].value);
  wait.answered = wait.answered && events[index].value <= board::AcpiTimer::kMask;
}

// The index of the next reading continuing a wait that ends at `last`, or 0.
size_t NextPolled(std::span<const Event> events, size_t last, bool firstCheck) {
  size_t k = last + 1;
  bool paused = false;
  while (k < events.size() && IsCpu(events[k])) {
    paused = paused || IsPause(events[k]);
    ++k;
  }
  if (k < events.size() && IsTimerRead(events[k]) && (paused || firstCheck)) {
    return k;
  }
  return 0;
}

}  // namespace

uint64_t Duration(std::span<const board::Event> events, size_t index) {
  return index + 1 < events.size() ? events[index + 1].t - events[index].t : 0;
}

ClockGenReplay::ClockGenReplay(const board::BoardConfig& config)
    : device_(config.clockGenerator) {}

bool ClockGenReplay::Apply(const board::Event& e) {
  // A write that answered a warning was carried out like a successful one.
  if (e.kind != EventKind::Smbus || board::IsError(e.status) ||
      e.op != static_cast<uint8_t>(board::SmbusOperation::WriteBlock)) {
    return false;
  }
  board::SmbusResult result = device_.Execute(e.address, e.value, e.op, e.length, e.Data());
  return result.status == board::kEfiSuccess;
}

SuperIoReplay::SuperIoReplay(const board::BoardConfig& config)
    : chip_(config.superIoSelected, config.superIoGlobal, config.superIoDevices) {}

std::optional<SioAccess> SuperIoReplay::Apply(const board::Event& e) {
  if (e.kind != EventKind::Io || e.width != 8 || !board::SuperIo::Decodes(static_cast<uint16_t>(e.address))) {
    return std::nullopt;
  }
  auto port = static_cast<uint16_t>(e.address);
  auto value = static_cast<uint8_t>(e.value);
  bool write = e.op == static_cast<uint8_t>(board::IoOp::Out);
  bool config = chip_.InConfigMode();
  SioAccess access;
  access.write = write;
  access.value = value;
  if (port == board::SuperIo::kIndexPort) {
    if (write) {
      if (config && value != board::SuperIo::kExitKey) {
        index_ = value;
      }
      chip_.Write(port, value);
    } else {
      chip_.Read(port);
      access.kind = SioAccess::Kind::IndexRead;
    }
    return access;
  }
  access.device = chip_.Selected();
  if (write) {
    chip_.Write(port, value);
  } else {
    chip_.Read(port);
  }
  if (!config) {
    access.kind = SioAccess::Kind::Ignored;
  } else if (index_ == board::SuperIo::kLogicalDeviceRegister) {
    access.kind = SioAccess::Kind::Select;
  } else {
    access.kind = SioAccess::Kind::Register;
    access.reg = index_;
    access.global = index_ < board::SuperIo::kFirstDeviceRegister;
  }
  return access;
}

PlatformControllerReplay::PlatformControllerReplay(const board::BoardConfig& config)
    : pch_(config.pcieBase, config.acpiBase, config.acpiControl) {}

bool PlatformControllerReplay::Apply(const board::Event& e) {
  if (e.kind != EventKind::Mmio || e.op != static_cast<uint8_t>(board::MmioOp::Write)) {
    return false;
  }
  pch_.Write(e.address, e.width, static_cast<uint32_t>(e.value));
  return true;
}

std::vector<TimerWait> FindTimerWaits(std::span<const board::Event> events,
                                      std::optional<uint32_t> expectedTicks) {
  bool pauses = std::any_of(events.begin(), events.end(), IsPause);
  std::vector<TimerWait> waits;
  for (size_t i = 0; i < events.size(); ++i) {
    if (!IsTimerRead(events[i])) {
      continue;
    }
    TimerWait wait = Begin(events, i);
    if (pauses) {
      bool firstCheck = true;
      while (size_t next = NextPolled(events, wait.last, firstCheck)) {
        Extend(wait, events, next);
        firstCheck = false;
      }
    } else {
      // Bare readings: cut where the expected delay has passed.
      while (wait.last + 1 < events.size() && IsTimerRead(events[wait.last + 1])) {
        if (expectedTicks && wait.answered && wait.polls > 1 && wait.Ticks() >= *expectedTicks) {
          break;
        }
        Extend(wait, events, wait.last + 1);
      }
    }
    wait.end = wait.last + 1 < events.size() ? events[wait.last + 1].t : events[wait.last].t;
    waits.push_back(wait);
    i = wait.last;
  }
  return waits;
}

std::optional<uint32_t> StepDelayTicks(const board::BoardConfig& config) {
  if (!config.setup || config.setup->size() <= board::setup::kRampStepDelayOffset) {
    return std::nullopt;
  }
  uint64_t us = (*config.setup)[board::setup::kRampStepDelayOffset];
  return static_cast<uint32_t>(us * board::AcpiTimer::kFrequencyHz / 1'000'000);
}

std::vector<RampStep> FindRampSteps(const board::BoardConfig& config,
                                    std::span<const board::Event> events,
                                    std::span<const TimerWait> waits) {
  std::set<size_t> waitStarts;
  for (const TimerWait& w : waits) {
    waitStarts.insert(w.first);
  }
  ClockGenReplay clockGen(config);
  std::vector<RampStep> steps;
  bool open = false;
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    bool ends = waitStarts.contains(i) || IsStepBegin(e) || e.kind == EventKind::Return ||
                e.kind == EventKind::Hang || e.kind == EventKind::State;
    if (open && ends) {
      steps.back().end = i;
      open = false;
    }
    if (IsStepBegin(e)) {
      steps.push_back(RampStep{i, i + 1, std::nullopt, clockGen.Register(6), false});
      open = true;
    }
    if (open && e.kind == EventKind::Smbus) {
      RampStep& step = steps.back();
      step.failed = step.failed || board::IsError(e.status);
      const auto& data = e.Data();
      if (e.op == static_cast<uint8_t>(board::SmbusOperation::WriteBlock) &&
          e.value == board::ClockGenerator::kCodeLowRegister && data.size() >= 2) {
        step.code = static_cast<uint16_t>(data[0] | ((data[1] & 0x07) << 8));
      }
    }
    clockGen.Apply(e);
  }
  if (open) {
    steps.back().end = events.size();
  }
  return steps;
}

}  // namespace clockramp::tool
