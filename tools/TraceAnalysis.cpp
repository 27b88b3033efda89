#include "tools/TraceAnalysis.h"

#include <algorithm>

#include "board/AcpiTimer.h"
#include "board/PostPort.h"
#include "board/Status.h"

namespace clockramp::tool {
namespace {

using board::Event;
using board::EventKind;

bool IsStepBegin(const Event& e) {
  return e.kind == EventKind::Io && e.op == static_cast<uint8_t>(board::IoOp::Out) &&
         e.address == board::PostPort::kPort && (e.value & 0xFF) == kPostStepBegin;
}

}  // namespace

uint64_t Duration(std::span<const board::Event> events, size_t index) {
  return index + 1 < events.size() ? events[index + 1].t - events[index].t : 0;
}

ClockGenReplay::ClockGenReplay(const board::BoardConfig& config) : device_(config.clockGenerator) {}

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
  if (e.kind != EventKind::Io || e.width != 8 ||
      !board::SuperIo::Decodes(static_cast<uint16_t>(e.address))) {
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

std::optional<uint32_t> StepDelayTicks(const board::BoardConfig& config) {
  if (!config.setup || config.setup->size() <= board::setup::kRampStepDelayOffset) {
    return std::nullopt;
  }
  uint64_t us = (*config.setup)[board::setup::kRampStepDelayOffset];
  return static_cast<uint32_t>(us * board::AcpiTimer::kFrequencyHz / 1'000'000);
}

StepFinder::StepFinder(const board::BoardConfig& config) : clockGen_(config) {}

void StepFinder::EndAt(size_t index) {
  if (open_) {
    steps_.back().end = index;
    open_ = false;
  }
}

void StepFinder::OnWait(const TimerWait& wait) {
  EndAt(wait.first);
  count_ = wait.last + 1;
}

void StepFinder::OnAccess(size_t index, const Event& e, uint64_t /*done*/) {
  count_ = index + 1;
  bool begins = IsStepBegin(e);
  if (begins || e.kind == EventKind::Return || e.kind == EventKind::Hang ||
      e.kind == EventKind::State) {
    EndAt(index);
  }
  if (begins) {
    steps_.push_back(RampStep{index, index + 1, std::nullopt, clockGen_.Register(6), false});
    open_ = true;
  }
  if (open_ && e.kind == EventKind::Smbus) {
    RampStep& step = steps_.back();
    step.failed = step.failed || board::IsError(e.status);
    const auto& data = e.Data();
    if (e.op == static_cast<uint8_t>(board::SmbusOperation::WriteBlock) &&
        e.value == board::ClockGenerator::kCodeLowRegister && data.size() >= 2) {
      step.code = static_cast<uint16_t>(data[0] | ((data[1] & 0x07) << 8));
    }
  }
  clockGen_.Apply(e);
}

void StepFinder::OnEnd() {
  if (open_) {
    steps_.back().end = count_;
    open_ = false;
  }
}

std::vector<RampStep> FindRampSteps(const board::BoardConfig& config,
                                    std::span<const board::Event> events,
                                    std::span<const TimerWait> waits) {
  StepFinder finder(config);
  auto wait = waits.begin();
  for (size_t i = 0; i < events.size(); ++i) {
    while (wait != waits.end() && wait->first < i) {
      ++wait;
    }
    if (wait != waits.end() && wait->first == i) {
      finder.OnWait(*wait);
    }
    finder.OnAccess(i, events[i], 0);
  }
  finder.OnEnd();
  return finder.Steps();
}

}  // namespace clockramp::tool
