#include "fuzz/FuzzInput.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "board/NativeEngine.h"
#include "tests/robustness/Oracle.h"
#include "tests/robustness/Scenarios.h"

namespace clockramp::fuzz {
namespace {

using board::BoardConfig;

constexpr size_t kMaxVariableSize = 4096;
constexpr size_t kMaxFailures = 16;
constexpr uint8_t kRawStatus = 0xF0;  // a status choice from here on reads a u32

// Statuses an injected failure or NotifyPpi can answer: errors, unusual
// error values and warnings. On the SMBus an error does nothing and a warning
// comes after a transaction carried out, which the module must take as
// success. EFI_SUCCESS is left out: injected, it would change nothing.
constexpr std::array<uint32_t, 14> kStatuses = {
    0x80000007U, 0x80000012U, 0x8000ABCDU, 0x00000004U, 0x80000002U, 0x80000015U, 0x00000001U,
    0x80000000U, 0xFFFFFFFFU, 0x7FFFFFFFU, 0x8000000EU, 0x80000003U, 0x80000005U, 0x80000004U};

constexpr std::array<uint64_t, 4> kPcieBases = {0xE0000000, 0xF0000000, 0x80000000, 0x100000000};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}
  [[nodiscard]] bool Empty() const { return pos_ >= data_.size(); }
  uint8_t U8() { return pos_ < data_.size() ? data_[pos_++] : 0; }
  uint16_t U16() {
    const uint8_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    const uint16_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

class Writer {
 public:
  Writer& U8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Writer& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
  Writer& U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16));
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

uint32_t ReadStatus(Reader& r) {
  const uint8_t choice = r.U8();
  return choice >= kRawStatus ? r.U32() : kStatuses[choice % kStatuses.size()];
}

void WriteStatus(Writer& w, uint32_t status) {
  const auto* it = std::find(kStatuses.begin(), kStatuses.end(), status);
  if (it != kStatuses.end()) {
    w.U8(static_cast<uint8_t>(it - kStatuses.begin()));
  } else {
    w.U8(kRawStatus).U32(status);
  }
}

uint16_t CodeOf(const std::array<uint8_t, 256>& regs) {
  return static_cast<uint16_t>(((regs[20] & 7) << 8) | regs[19]);
}

void Resize(std::optional<std::vector<uint8_t>>& var, const std::vector<uint8_t>& fresh,
            size_t size) {
  if (!var) {
    var = fresh;
  }
  var->resize(std::min(size, kMaxVariableSize));
}

void SetByte(std::optional<std::vector<uint8_t>>& var, size_t offset, uint8_t value) {
  if (var && offset < var->size()) {
    (*var)[offset] = value;
  }
}

}  // namespace

BoardConfig BaseConfig() {
  BoardConfig config;
  (*config.setup)[board::setup::kRampStepDelayOffset] =
      2;  // the default board but for its 2 us delay
  config.hangLimitNs = kHangLimitNs;
  return config;
}

BoardConfig Decode(std::span<const uint8_t> data) {
  BoardConfig c = BaseConfig();
  auto& regs = c.clockGenerator;
  std::optional<int> delta;
  std::optional<uint16_t> absolute;
  std::optional<uint8_t> level;
  std::optional<uint8_t> delay;
  bool longRamp = false;

  Reader r(data);
  while (!r.Empty()) {
    switch (r.U8() % kTagCount) {
      case kCode: {
        const uint16_t code = r.U16() & 0x7FF;
        regs[19] = static_cast<uint8_t>(code);
        regs[20] = static_cast<uint8_t>((regs[20] & 0xF8) | (code >> 8));
        break;
      }
      case kRegister: {
        const uint8_t reg = r.U8();
        regs[reg] = r.U8();
        break;
      }
      case kTargetDelta:
        delta = static_cast<int8_t>(r.U8());
        absolute.reset();
        break;
      case kTargetAbsolute:
        absolute = r.U16();
        delta.reset();
        break;
      case kLevel:
        level = r.U8();
        break;
      case kDelay:
        delay = r.U8();
        break;
      case kSetupSize:
        Resize(c.setup, board::MakeSetup(1024, board::setup::kLevelAutomatic, 2), r.U16());
        break;
      case kSetupAbsent:
        c.setup.reset();
        break;
      case kSetupByte: {
        const uint16_t offset = r.U16();
        SetByte(c.setup, offset, r.U8());
        break;
      }
      case kPchRcSize:
        Resize(c.pchRcConfiguration, board::MakePchRcConfiguration(5), r.U16());
        break;
      case kPchRcAbsent:
        c.pchRcConfiguration.reset();
        break;
      case kSelector:
        SetByte(c.pchRcConfiguration, board::pchrc::kSelectorOffset, r.U8());
        break;
      case kPchRcByte: {
        const uint16_t offset = r.U16();
        SetByte(c.pchRcConfiguration, offset, r.U8());
        break;
      }
      case kFailure: {
        const uint16_t transaction = r.U16();
        const uint32_t status = ReadStatus(r);
        if (c.smbusFailures.size() < kMaxFailures && status != 0) {
          c.smbusFailures.push_back({transaction, status});
        }
        break;
      }
      case kReportedCount:
        c.reportedByteCount = r.U8();
        break;
      case kTimerStart:
        c.timerStart = r.U32() & 0xFFFFFF;
        break;
      case kTimerFrozen:
        c.timerMode = board::TimerMode::Frozen;
        break;
      case kTimerStops:
        c.timerMode = board::TimerMode::StopsAfter;
        c.timerStopsAfterNs = r.U32() % 100'000'000;
        break;
      case kAcpi:
        c.acpiControl = r.U8();
        c.acpiBase = r.U16();
        break;
      case kPcie: {
        const uint8_t choice = r.U8();
        c.pcieBase = kPcieBases[choice & 3];
        switch ((choice >> 2) & 3) {
          case 0:
            c.pcdPcieBase.reset();
            break;
          case 1:
            c.pcdPcieBase = 0;
            break;
          case 2:
            c.pcdPcieBase = c.pcieBase | 0x100000000ULL;  // same low 32 bits
            break;
          default:
            c.pcdPcieBase = 0xC0000000;  // another window
        }
        break;
      }
      case kSioRegister: {
        const uint8_t ldn = r.U8();
        const uint8_t reg = r.U8();
        const uint8_t value = r.U8();
        if (reg < 0x30) {
          c.superIoGlobal[reg] = value;
        } else {
          c.superIoDevices[ldn][reg] = value;
        }
        break;
      }
      case kSioSelected:
        c.superIoSelected = r.U8();
        break;
      case kPpis: {
        const uint8_t bits = r.U8();
        c.variablePpi = (bits & 1) == 0;
        c.pcdPpi = (bits & 2) == 0;
        static constexpr std::array<board::SmbusPpiTiming, 4> kTimings = {
            board::SmbusPpiTiming::AfterEntry, board::SmbusPpiTiming::BeforeEntry,
            board::SmbusPpiTiming::Absent, board::SmbusPpiTiming::AfterEntry};
        c.smbusPpi = kTimings[(bits >> 2) & 3];
        break;
      }
      case kNotifyStatus:
        c.notifyPpiStatus = ReadStatus(r);
        break;
      case kLongRamp:
        longRamp = true;
        break;
      default:
        break;
    }
  }

  // The ramp fields, then the length of the ramp.
  if (c.setup) {
    const int current = CodeOf(regs);
    std::optional<uint16_t> target = absolute;
    if (delta) {
      target = static_cast<uint16_t>(std::clamp(current + *delta, 0, 0xFFFF));
    }
    if (target) {
      SetByte(c.setup, 164, static_cast<uint8_t>(*target));
      SetByte(c.setup, 165, static_cast<uint8_t>(*target >> 8));
    }
    if (level) {
      SetByte(c.setup, 166, *level);
    }
    if (delay) {
      SetByte(c.setup, 167, *delay);
    }
  }
  return Limit(std::move(c), longRamp);
}

BoardConfig Limit(BoardConfig c, bool longRamp) {
  c.hangLimitNs = kHangLimitNs;
  if (!c.setup || c.setup->size() < 166) {
    return c;
  }
  auto& s = *c.setup;
  const int current = CodeOf(c.clockGenerator);
  const int stored = s[164] | (s[165] << 8);
  if (stored > 0x7FF) {
    return c;
  }
  const int distance = std::abs(stored - current);
  const int most = longRamp ? kLongRampMax : kShortRamp;
  if (distance > most) {
    const int cut = stored > current ? current + most : current - most;
    s[164] = static_cast<uint8_t>(cut);
    s[165] = static_cast<uint8_t>(cut >> 8);
  }
  if (std::min(distance, most) > kLongRampFullDelays && s.size() >= 168) {
    s[167] &= 3;
  }
  return c;
}

std::vector<uint8_t> Encode(const BoardConfig& config) {
  const BoardConfig base = BaseConfig();
  Writer w;
  const uint16_t code = CodeOf(config.clockGenerator);
  w.U8(kCode).U16(code);
  std::array<uint8_t, 256> regs = base.clockGenerator;
  regs[19] = static_cast<uint8_t>(code);
  regs[20] = static_cast<uint8_t>((regs[20] & 0xF8) | (code >> 8));
  for (size_t r = 0; r < 256; ++r) {
    if (config.clockGenerator[r] != regs[r]) {
      w.U8(kRegister).U8(static_cast<uint8_t>(r)).U8(config.clockGenerator[r]);
    }
  }
  if (config.reportedByteCount) {
    w.U8(kReportedCount).U8(*config.reportedByteCount);
  }
  for (const board::SmbusFailure& f : config.smbusFailures) {
    if (f.transaction <= 0xFFFF && f.status != 0) {
      w.U8(kFailure).U16(static_cast<uint16_t>(f.transaction));
      WriteStatus(w, f.status);
    }
  }
  auto variable = [&w](const std::optional<std::vector<uint8_t>>& v,
                       const std::optional<std::vector<uint8_t>>& b, Tag absent, Tag size,
                       Tag byte) {
    if (!v) {
      w.U8(absent);
      return;
    }
    const size_t n = std::min(v->size(), kMaxVariableSize);
    if (n != b->size()) {
      w.U8(size).U16(static_cast<uint16_t>(n));
    }
    for (size_t i = 0; i < n; ++i) {
      const uint8_t was = i < b->size() ? (*b)[i] : 0;
      if ((*v)[i] != was) {
        w.U8(byte).U16(static_cast<uint16_t>(i)).U8((*v)[i]);
      }
    }
  };
  variable(config.setup, base.setup, kSetupAbsent, kSetupSize, kSetupByte);
  variable(config.pchRcConfiguration, base.pchRcConfiguration, kPchRcAbsent, kPchRcSize,
           kPchRcByte);
  if (config.setup && config.setup->size() >= 166) {
    const int stored = (*config.setup)[164] | ((*config.setup)[165] << 8);
    if (std::abs(stored - code) > kShortRamp) {
      w.U8(kLongRamp);
    }
  }
  if (config.timerStart != 0) {
    w.U8(kTimerStart).U32(config.timerStart);
  }
  if (config.timerMode == board::TimerMode::Frozen) {
    w.U8(kTimerFrozen);
  } else if (config.timerMode == board::TimerMode::StopsAfter) {
    w.U8(kTimerStops).U32(static_cast<uint32_t>(config.timerStopsAfterNs % 100'000'000));
  }
  if (config.acpiBase != 0 || config.acpiControl != 0) {
    w.U8(kAcpi).U8(config.acpiControl).U16(config.acpiBase);
  }
  const auto* window = std::find(kPcieBases.begin(), kPcieBases.end(), config.pcieBase);
  if (window != kPcieBases.end() && (config.pcieBase != base.pcieBase || config.pcdPcieBase)) {
    auto choice = static_cast<uint8_t>(window - kPcieBases.begin());
    if (config.pcdPcieBase == 0ULL) {
      choice |= 1 << 2;
    } else if (config.pcdPcieBase == (config.pcieBase | 0x100000000ULL)) {
      choice |= 2 << 2;
    } else if (config.pcdPcieBase) {
      choice |= 3 << 2;
    }
    w.U8(kPcie).U8(choice);
  }
  for (const auto& [reg, value] : config.superIoGlobal) {
    w.U8(kSioRegister).U8(0).U8(reg).U8(value);
  }
  for (const auto& [ldn, regs2] : config.superIoDevices) {
    for (const auto& [reg, value] : regs2) {
      w.U8(kSioRegister).U8(ldn).U8(reg).U8(value);
    }
  }
  if (config.superIoSelected != 0) {
    w.U8(kSioSelected).U8(config.superIoSelected);
  }
  uint8_t ppis = (config.variablePpi ? 0 : 1) | (config.pcdPpi ? 0 : 2);
  if (config.smbusPpi == board::SmbusPpiTiming::BeforeEntry) {
    ppis |= 1 << 2;
  } else if (config.smbusPpi == board::SmbusPpiTiming::Absent) {
    ppis |= 2 << 2;
  }
  if (ppis != 0) {
    w.U8(kPpis).U8(ppis);
  }
  if (config.notifyPpiStatus != 0) {
    w.U8(kNotifyStatus);
    WriteStatus(w, config.notifyPpiStatus);
  }
  return w.Take();
}

std::vector<std::pair<std::string, BoardConfig>> SeedConfigs() {
  std::vector<std::pair<std::string, BoardConfig>> out;
  out.emplace_back("base", BaseConfig());
  for (const robustness::Scenario& s : robustness::SweepScenarios()) {
    out.emplace_back(s.name, s.config);
    BoardConfig failed = s.config;
    failed.smbusFailures = {{9, 0x80000007U}, {16, 0x00000004U}};
    out.emplace_back(std::string(s.name) + ", two failures", failed);
  }
  auto ramp = [](uint16_t from, uint16_t to, uint8_t level, uint8_t delay) {
    return robustness::RampConfig(from, to, level, delay);
  };
  BoardConfig frozen = ramp(1000, 1003, 0xFF, 3);
  frozen.timerMode = board::TimerMode::Frozen;
  out.emplace_back("frozen timer", frozen);
  BoardConfig stops = ramp(1000, 1003, 1, 3);
  stops.timerMode = board::TimerMode::StopsAfter;
  stops.timerStopsAfterNs = 5'000'000;
  out.emplace_back("timer stops", stops);
  BoardConfig wraps = ramp(1000, 1004, 0xFF, 40);
  wraps.timerStart = 0xFFF000;
  out.emplace_back("timer wraps", wraps);
  BoardConfig noPcd = ramp(1000, 1002, 0, 1);
  noPcd.pcdPpi = false;
  out.emplace_back("no PCD PPI", noPcd);
  BoardConfig elsewhere = ramp(1000, 1002, 0, 1);
  elsewhere.acpiBase = 0x1800;
  elsewhere.acpiControl = 0x80;
  out.emplace_back("decoding at another base", elsewhere);
  BoardConfig shortRead = ramp(1000, 1002, 0, 1);
  shortRead.reportedByteCount = 3;
  out.emplace_back("reported count 3", shortRead);
  BoardConfig before = ramp(1000, 998, 0xFF, 1);
  before.smbusPpi = board::SmbusPpiTiming::BeforeEntry;
  out.emplace_back("SMBus2 before the entry", before);
  BoardConfig notify = ramp(1000, 1002, 0, 1);
  notify.notifyPpiStatus = 0x80000009U;
  out.emplace_back("NotifyPpi fails", notify);
  BoardConfig shortSetup = ramp(1000, 1002, 0, 1);
  shortSetup.setup->resize(167);
  out.emplace_back("Setup too short", shortSetup);
  BoardConfig guard = ramp(1000, 1002, 0, 1);
  guard.superIoDevices[0x08][0x30] = 0x81;
  guard.superIoDevices[0x0A][0xE7] = 0x0F;
  guard.superIoSelected = 0x0A;
  out.emplace_back("Super I/O registers set", guard);
  BoardConfig far = ramp(1000, 1100, 0xFF, 0);
  out.emplace_back("long ramp", far);
  // Every transaction of a short ramp warned: everything is carried out.
  BoardConfig warned = ramp(1000, 997, 1, 1);
  for (uint64_t k = 0; k < kMaxFailures; ++k) {
    warned.smbusFailures.push_back({k, k % 2 == 0 ? 0x00000004U : 0x00000001U});
  }
  out.emplace_back("every transaction warns", warned);
  return out;
}

std::vector<std::string> Check(std::span<const uint8_t> data, std::string* description) {
  const BoardConfig config = Decode(data);
  // The expected actions' vector is reused from one input to the next: a
  // fresh one each time costs more than the run.
  thread_local std::vector<robustness::Action> storage;
  robustness::RunChecker checker(config, std::move(storage));
  board::RunResult run = board::RunNative(config, &checker);
  std::vector<std::string> problems = checker.Finish(run, *run.board);
  storage = checker.TakeStorage();
  if (description != nullptr && !problems.empty()) {
    *description = robustness::Describe(config);
  }
  return problems;
}

}  // namespace clockramp::fuzz
