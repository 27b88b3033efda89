#include "tools/TraceListing.h"

#include <algorithm>

#include <fmt/format.h>

#include "board/Guid.h"
#include "board/PlatformController.h"
#include "board/PostPort.h"
#include "board/Status.h"
#include "image/Printable.h"
#include "tools/EfiStatus.h"
#include "tools/Summary.h"
#include "tools/TraceAnalysis.h"

namespace clockramp::tool {
namespace {

using board::Event;
using board::EventKind;

const char* FunctionName(uint8_t fn) {
  return fn == static_cast<uint8_t>(board::Function::ClockRampEntry) ? "ClockRampEntry"
                                                                     : "ClockRampNotify";
}

std::string PpiName(const board::Guid& guid) {
  if (guid == board::guids::kSmbus2Ppi) {
    return "SMBus2 PPI";
  }
  if (guid == board::guids::kReadOnlyVariable2Ppi) {
    return "variable PPI";
  }
  if (guid == board::guids::kPcdPpi) {
    return "PCD PPI";
  }
  return guid.ToString();
}

std::string Hex(uint64_t value, unsigned width) {
  return fmt::format("0x{:0{}X}", value, (width + 3) / 4);
}

// "0x11" for one byte, "E9 03" for several.
std::string Bytes(const std::vector<uint8_t>& data) {
  if (data.size() == 1) {
    return fmt::format("0x{:02X}", data[0]);
  }
  return fmt::format("{:02X}", fmt::join(data, " "));
}

std::string DescribePei(const Event& e) {
  switch (static_cast<board::PeiCall>(e.op)) {
    case board::PeiCall::LocatePpi:
      return fmt::format("LocatePpi {} #{}: {}", PpiName(e.PeiGuid()), e.address,
                         StatusName(e.status));
    case board::PeiCall::NotifyPpi:
      return fmt::format("NotifyPpi: {}", StatusName(e.status));
    case board::PeiCall::GetVariable: {
      // The name is what the module passed, read from its memory.
      std::string text =
          fmt::format("GetVariable \"{}\" into {} bytes: {}", files::PrintableUtf8(e.Text()),
                      e.length, StatusName(e.status));
      if (e.status == board::kEfiSuccess) {
        text += fmt::format(", {} bytes read", e.value);
      } else if (e.status == board::kEfiBufferTooSmall) {
        text += fmt::format(", the variable has {}", e.value);
      }
      return text;
    }
    case board::PeiCall::InstallPpi:
      return fmt::format("InstallPpi: {} (not modelled)", StatusName(e.status));
    case board::PeiCall::ReInstallPpi:
      return fmt::format("ReInstallPpi: {} (not modelled)", StatusName(e.status));
    case board::PeiCall::NextVariableName:
      return fmt::format("NextVariableName: {} (not modelled)", StatusName(e.status));
  }
  return fmt::format("PEI call {}: {}", e.op, StatusName(e.status));
}

std::string DescribeSmbus(const Event& e) {
  auto op = static_cast<board::SmbusOperation>(e.op);
  std::string device = fmt::format("SMBus 0x{:02X} {}", e.address, board::SmbusOperationName(e.op));
  const std::vector<uint8_t>& data = e.Data();
  bool failed = board::IsError(e.status);
  // A warning comes after a transaction carried out: its data are shown, then the status.
  std::string warning =
      failed || e.status == board::kEfiSuccess ? std::string() : ": " + StatusName(e.status);
  std::string text;
  if (op == board::SmbusOperation::WriteBlock) {
    text = fmt::format("{} reg {} ← {}", device, e.value, Bytes(data));
    if (e.value == board::ClockGenerator::kCodeLowRegister && data.size() >= 2) {
      text += fmt::format(" (code {})", data[0] | ((data[1] & 0x07) << 8));
    } else if (e.value == 6 && data.size() == 1) {
      text += fmt::format(" ({})", LevelName(data[0]));
    }
    return failed ? fmt::format("{}: {}, nothing written", text, StatusName(e.status))
                  : text + warning;
  }
  if (op == board::SmbusOperation::ReadBlock) {
    text = fmt::format("{} reg {}, up to {}", device, e.value, e.length);
    return failed ? fmt::format("{}: {}", text, StatusName(e.status))
                  : fmt::format("{} → {} bytes: {}{}", text, data.size(), Bytes(data), warning);
  }
  text = fmt::format("{} command {}, length {}", device, e.value, e.length);
  if (!data.empty()) {
    text += fmt::format(", data {}", Bytes(data));
  }
  return fmt::format("{}: {}", text, StatusName(e.status));
}

std::string DescribeSio(const SioAccess& a) {
  const char* arrow = a.write ? "←" : "→";
  switch (a.kind) {
    case SioAccess::Kind::Register:
      return a.global ? fmt::format("Super I/O reg 0x{:02X} {} 0x{:02X}", a.reg, arrow, a.value)
                      : fmt::format("Super I/O LDN {} reg 0x{:02X} {} 0x{:02X}", a.device, a.reg,
                                    arrow, a.value);
    case SioAccess::Kind::IndexRead:
      return fmt::format("Super I/O index port → 0x{:02X}", a.value);
    case SioAccess::Kind::Ignored:
      return fmt::format("Super I/O data port {} 0x{:02X} outside configuration mode (ignored)",
                         arrow, a.value);
    case SioAccess::Kind::Key:
    case SioAccess::Kind::Select:
      break;
  }
  return {};
}

std::string DescribeMmio(const board::BoardConfig& config, const Event& e) {
  bool write = e.op == static_cast<uint8_t>(board::MmioOp::Write);
  std::string value = fmt::format("{} {}", write ? "←" : "→", Hex(e.value, e.width));
  if (e.address >= config.pcieBase &&
      e.address - config.pcieBase < board::PlatformController::kWindowSize) {
    uint64_t offset = e.address - config.pcieBase;
    std::string width = e.width == 8 ? "" : fmt::format(" ({}-bit)", e.width);
    return fmt::format("PCI {:02X}:{:02X}.{} reg 0x{:02X}{} {}", offset >> 20,
                       (offset >> 15) & 0x1F, (offset >> 12) & 0x7, offset & 0xFFF, width, value);
  }
  return fmt::format("MMIO 0x{:08X} {}{} {}", e.address, write ? "write" : "read", e.width, value);
}

std::string DescribeWait(const TimerWait& w) {
  std::string polls = fmt::format("{} poll{}", w.polls, w.polls == 1 ? "" : "s");
  if (!w.answered) {
    return fmt::format("timer wait at port 0x{:04X}: no answer (reads 0x{:X}), {}, {}", kTimerPort,
                       w.lastValue, polls, FormatDuration(w.end - w.start));
  }
  return fmt::format("timer wait {} ticks (0x{:06X} → 0x{:06X}), {}, {}", w.Ticks(), w.firstValue,
                     w.lastValue, polls, FormatDuration(w.end - w.start));
}

}  // namespace

Lister::Lister(const board::BoardConfig& config, std::ostream* out)
    : config_(config), sio_(config), pch_(config), out_(out) {}

void Lister::Add(uint64_t t, std::string text) {
  if (text.empty()) {
    return;
  }
  if (out_ != nullptr) {
    PrintListingLine(*out_, {t, std::move(text)});
  } else {
    lines_.push_back({t, std::move(text)});
  }
}

void Lister::OnWait(const TimerWait& wait) { Add(wait.start, DescribeWait(wait)); }

void Lister::OnAccess(size_t /*index*/, const Event& e, uint64_t /*done*/) {
  switch (e.kind) {
    case EventKind::Call:
      Add(e.t, fmt::format("call {}", FunctionName(e.op)));
      break;
    case EventKind::Return:
      Add(e.t, fmt::format("return {}: {}", FunctionName(e.op), StatusName(e.status)));
      break;
    case EventKind::Pei:
      Add(e.t, DescribePei(e));
      break;
    case EventKind::Pcd:
      Add(e.t, fmt::format("PCD Get64 token {} = 0x{:X}", e.address, e.value));
      break;
    case EventKind::Smbus:
      Add(e.t, DescribeSmbus(e));
      break;
    case EventKind::Io: {
      bool armed = sio_.GuardArmed();
      if (auto access = sio_.Apply(e)) {
        std::string text = DescribeSio(*access);
        if (sio_.GuardArmed() != armed) {
          text += sio_.GuardArmed() ? " — guard armed" : " — guard disarmed";
        }
        Add(e.t, text);
      } else if (e.address == board::PostPort::kPort &&
                 e.op == static_cast<uint8_t>(board::IoOp::Out)) {
        Add(e.t, fmt::format("POST 0x{:02X}", e.value & 0xFF));
      } else {
        bool in = e.op == static_cast<uint8_t>(board::IoOp::In);
        Add(e.t, fmt::format("port 0x{:04X} {}{} {} {}", e.address, in ? "in" : "out", e.width,
                             in ? "→" : "←", Hex(e.value, e.width)));
      }
      break;
    }
    case EventKind::Mmio: {
      bool decoding = pch_.AcpiDecoding();
      pch_.Apply(e);
      std::string text = DescribeMmio(config_, e);
      if (pch_.AcpiDecoding() != decoding) {
        text += pch_.AcpiDecoding() ? " — ACPI decoding on" : " — ACPI decoding off";
      }
      Add(e.t, text);
      break;
    }
    case EventKind::Cpu:
      break;
    case EventKind::Hang:
      Add(e.t, fmt::format("run stopped: {}", e.Text()));
      break;
    case EventKind::State:
      Add(e.t, "end of run");
      break;
  }
}

std::vector<ListingLine> ListTrace(const board::BoardConfig& config,
                                   std::span<const board::Event> events) {
  Lister lister(config);
  board::WaitSplitter splitter(
      lister, StepDelayTicks(config), std::any_of(events.begin(), events.end(), [](const Event& e) {
        return e.kind == EventKind::Cpu && e.op == static_cast<uint8_t>(board::CpuOp::Pause);
      }));
  for (const Event& e : events) {
    splitter.OnEvent(e);
  }
  splitter.Finish();
  return lister.TakeLines();
}

void PrintListingLine(std::ostream& out, const ListingLine& line) {
  out << fmt::format("{:>9}.{:03} µs  {}\n", line.t / 1000, line.t % 1000, line.text);
}

void PrintListing(std::ostream& out, std::span<const ListingLine> lines) {
  for (const ListingLine& line : lines) {
    PrintListingLine(out, line);
  }
}

}  // namespace clockramp::tool
