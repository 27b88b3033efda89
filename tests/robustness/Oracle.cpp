#include "tests/robustness/Oracle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "board/Status.h"

namespace robustness {
namespace {

using board::BoardConfig;
using board::Event;
using board::EventKind;
using board::SmbusOperation;

constexpr uint32_t kBadBufferSize = 0x80000004U;
constexpr uint32_t kTimerFrequency = 3579545;

constexpr uint8_t kWriteBlock = static_cast<uint8_t>(SmbusOperation::WriteBlock);
constexpr uint8_t kReadBlock = static_cast<uint8_t>(SmbusOperation::ReadBlock);

constexpr uint16_t kSioIndex = 0x2E;
constexpr uint16_t kSioData = 0x2F;
constexpr uint16_t kPostPort = 0x80;
constexpr uint16_t kTimerPort = 0x508;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Bytes(const std::vector<uint8_t>& data) {
  constexpr size_t kShown = 40;
  std::string text = "[";
  for (size_t i = 0; i < data.size() && i < kShown; ++i) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
    // in the inlined operator+(const char*, std::string&&).
    if (i != 0) {
      text += ' ';
    }
    text += Hex(data[i]);
  }
  if (data.size() > kShown) {
    text += " ... (" + std::to_string(data.size()) + " bytes)";
  }
  return text + "]";
}

uint32_t Ticks(uint32_t us) {
  return static_cast<uint32_t>(uint64_t{us} * kTimerFrequency / 1000000);
}

Action Make(Act kind, uint32_t port, uint64_t value) {
  Action a;
  a.kind = kind;
  a.port = port;
  a.value = static_cast<uint32_t>(value);
  return a;
}

Action SmbusAction(uint8_t op, uint8_t command, uint64_t length, uint32_t status,
                   const uint8_t* bytes, size_t n) {
  Action a = Make(Act::Smbus, command, length);
  a.op = op;
  a.status = status;
  a.size = static_cast<uint8_t>(std::min(n, a.data.size()));
  for (size_t i = 0; i < a.size; ++i) {
    a.data[i] = bytes[i];
  }
  return a;
}

uint32_t PpiCodeOf(const board::Guid& guid) {
  return guid == board::guids::kReadOnlyVariable2Ppi ? kVariablePpi
         : guid == board::guids::kSmbus2Ppi          ? kSmbus2Ppi
         : guid == board::guids::kPcdPpi             ? kPcdPpi
                                                     : kOtherPpi;
}

// ---- The model's clock generator ----

// The device as docs/board.md describes it: block transactions only, a read
// transfers min(Length, reported count) bytes, an injected error changes and
// delivers nothing, an injected warning comes after a transaction carried out.
class ModelDevice {
 public:
  explicit ModelDevice(const BoardConfig& config)
      : regs_(config.clockGenerator),
        reported_(config.reportedByteCount),
        failures_(config.smbusFailures) {}

  Action Write(uint8_t command, std::initializer_list<uint8_t> bytes) {
    Action a = SmbusAction(kWriteBlock, command, bytes.size(), Injected(), bytes.begin(),
                           bytes.size());
    if (!board::IsError(a.status)) {
      for (size_t i = 0; i < a.size; ++i) {
        regs_[static_cast<uint8_t>(command + i)] = a.data[i];
      }
    }
    return a;
  }

  // A read's data are the bytes it delivers.
  Action Read(uint8_t command, uint64_t length) {
    Action a = SmbusAction(kReadBlock, command, length, Injected(), nullptr, 0);
    if (!board::IsError(a.status)) {
      const uint64_t count = std::min<uint64_t>(length, ReadBack(8));
      for (uint64_t i = 0; i < count; ++i) {
        a.data[a.size++] = ReadBack(static_cast<uint8_t>(command + i));
      }
    }
    return a;
  }

  [[nodiscard]] const std::array<uint8_t, 256>& Registers() const { return regs_; }

 private:
  uint32_t Injected() {
    const uint64_t index = next_++;
    for (const board::SmbusFailure& f : failures_) {
      if (f.transaction == index) {
        return f.status;
      }
    }
    return board::kEfiSuccess;
  }
  [[nodiscard]] uint8_t ReadBack(uint8_t reg) const {
    return reg == 8 && reported_ ? *reported_ : regs_[reg];
  }

  std::array<uint8_t, 256> regs_;
  std::optional<uint8_t> reported_;
  std::vector<board::SmbusFailure> failures_;
  uint64_t next_ = 0;
};

// ---- The model's Super I/O chip (only what the guard touches is tracked) ----

class ModelSio {
 public:
  explicit ModelSio(const BoardConfig& config) : selected_(config.superIoSelected) {
    for (const auto& [ldn, regs] : config.superIoDevices) {
      for (const auto& [reg, value] : regs) {
        if (reg >= 0x30) {
          Slot(ldn, reg) = value;
        }
      }
    }
    for (const auto& [reg, value] : config.superIoGlobal) {
      if (reg < 0x30) {
        Slot(kGlobal, reg) = value;
      }
    }
  }

  // One register write, inside its own enter and leave.
  void Write(std::vector<Action>& out, uint8_t reg, uint8_t value) {
    Enter(out, reg);
    out.push_back(Make(Act::SioOut, kSioData, value));
    Leave(out);
    if (reg == 0x07) {
      selected_ = value;
    } else {
      Slot(reg >= 0x30 ? selected_ : kGlobal, reg) = value;
    }
  }
  // One register read, inside its own enter and leave.
  uint8_t Read(std::vector<Action>& out, uint8_t reg) {
    Enter(out, reg);
    const uint8_t value = reg == 0x07 ? selected_ : Slot(reg >= 0x30 ? selected_ : kGlobal, reg);
    out.push_back(Make(Act::SioIn, kSioData, value));
    Leave(out);
    return value;
  }

  // Arm: device 8 register 0x30 |= 1; device 0x0A register 0xE7 |= 0x08;
  // device 8 register 0xF6 := 1.
  void Arm(std::vector<Action>& out) {
    Write(out, 0x07, 0x08);
    Write(out, 0x30, static_cast<uint8_t>(Read(out, 0x30) | 0x01));
    Write(out, 0x07, 0x0A);
    Write(out, 0xE7, static_cast<uint8_t>(Read(out, 0xE7) | 0x08));
    Write(out, 0x07, 0x08);
    Write(out, 0xF6, 0x01);
  }
  // Disarm: the arm sequence undone in reverse order.
  void Disarm(std::vector<Action>& out) {
    Write(out, 0x07, 0x08);
    Write(out, 0xF6, 0x00);
    Write(out, 0x07, 0x0A);
    Write(out, 0xE7, static_cast<uint8_t>(Read(out, 0xE7) & ~0x08));
    Write(out, 0x07, 0x08);
    Write(out, 0x30, static_cast<uint8_t>(Read(out, 0x30) & ~0x01));
  }

  [[nodiscard]] uint8_t Device(uint8_t ldn, uint8_t reg) { return Slot(ldn, reg); }
  [[nodiscard]] uint8_t Selected() const { return selected_; }

 private:
  static constexpr uint16_t kGlobal = 0x100;  // global registers (below 0x30)

  // The register's value, 0 until set (a short list: the guard uses three).
  uint8_t& Slot(uint16_t ldn, uint8_t reg) {
    const auto key = static_cast<uint32_t>(ldn << 8 | reg);
    for (auto& [k, v] : regs_) {
      if (k == key) {
        return v;
      }
    }
    return regs_.emplace_back(key, 0).second;
  }
  static void Enter(std::vector<Action>& out, uint8_t reg) {
    out.push_back(Make(Act::SioOut, kSioIndex, 0x87));
    out.push_back(Make(Act::SioOut, kSioIndex, 0x87));
    out.push_back(Make(Act::SioOut, kSioIndex, reg));
  }
  static void Leave(std::vector<Action>& out) { out.push_back(Make(Act::SioOut, kSioIndex, 0xAA)); }

  uint8_t selected_;
  std::vector<std::pair<uint32_t, uint8_t>> regs_;
};

// ---- The callback, step by step from docs/module.md ----

class CallbackModel {
 public:
  explicit CallbackModel(const BoardConfig& config, Expectation& e)
      : config_(config), e_(e), device_(config), sio_(config) {}

  void Run() {
    e_.status = Callback();
    e_.registers = device_.Registers();
    e_.ldn8Reg30 = sio_.Device(0x08, 0x30);
    e_.ldn8RegF6 = sio_.Device(0x08, 0xF6);
    e_.ldnAregE7 = sio_.Device(0x0A, 0xE7);
    e_.selected = sio_.Selected();
  }

 private:
  void Locate(uint32_t ppi, uint32_t status) {
    Action a = Make(Act::Locate, ppi, 0);
    a.status = status;
    e_.actions.push_back(a);
  }

  // GetVariable with a buffer of `size` bytes; the data when it succeeds.
  std::optional<std::vector<uint8_t>> GetVariable(uint32_t name,
                                                  const std::optional<std::vector<uint8_t>>& var,
                                                  uint64_t size, uint32_t& status) {
    uint64_t dataSize = size;
    status = board::kEfiNotFound;
    if (var) {
      dataSize = var->size();
      status = var->size() > size ? board::kEfiBufferTooSmall : board::kEfiSuccess;
    }
    Action a = Make(Act::GetVariable, name, size);
    a.extra = static_cast<uint32_t>(dataSize);
    a.status = status;
    e_.actions.push_back(a);
    if (status != board::kEfiSuccess) {
      return std::nullopt;
    }
    return var;
  }

  // A transaction's status as the module takes it: an error fails, a
  // warning is success (the transaction was carried out).
  uint32_t Smbus(const Action& a) {
    e_.actions.push_back(a);
    return a.status;
  }
  uint32_t WriteRegister(uint8_t reg) { return Smbus(device_.Write(reg, {image_[reg]})); }

  // A block read into the image at `reg`; a read that delivers fewer bytes
  // than asked for fails with EFI_DEVICE_ERROR (the image would keep bytes
  // that are not the device's).
  uint32_t ReadInto(uint8_t reg, uint64_t length) {
    const Action a = device_.Read(reg, length);
    const size_t got = a.size;
    std::copy(a.data.begin(), a.data.begin() + a.size, image_.begin() + reg);
    const uint32_t status = Smbus(a);
    if (board::IsError(status)) {
      return status;
    }
    return got < length ? board::kEfiDeviceError : board::kEfiSuccess;
  }

  void Delay() { e_.actions.push_back(Make(Act::Delay, 0, delayUs_)); }
  void Post(uint8_t code) {
    e_.actions.push_back(Make(Act::Post, kPostPort, code));
    e_.post.push_back(code);
  }

  // Register 6: 0..3 -> 0xC0, 0xD5, 0xEA, 0xFF; anything else 0xC0; written
  // only when the value changes.
  uint32_t SetLevel(uint8_t level) {
    static constexpr std::array<uint8_t, 4> kValues = {0xC0, 0xD5, 0xEA, 0xFF};
    const uint8_t value = level < 4 ? kValues[level] : 0xC0;
    if (image_[6] == value) {
      return board::kEfiSuccess;
    }
    image_[6] = value;
    return WriteRegister(6);
  }

  // The automatic level by the distance from code 1000.
  static uint8_t AutoLevel(uint16_t code) {
    const int distance = code >= 1000 ? code - 1000 : 1000 - code;
    return distance <= 3 ? 0 : distance <= 11 ? 1 : distance <= 19 ? 2 : 3;
  }

  // One guarded step (the table of docs/module.md).
  uint32_t Step(uint16_t code) {
    ++e_.steps;
    Post(0xC4);
    image_[3] = static_cast<uint8_t>(image_[3] & ~0x80);
    if (uint32_t s = WriteRegister(3); board::IsError(s)) {
      return s;
    }
    sio_.Arm(e_.actions);
    image_[9] = static_cast<uint8_t>(image_[9] | 0x78);
    if (uint32_t s = WriteRegister(9); board::IsError(s)) {
      return s;
    }
    Post(0xC8);
    image_[19] = static_cast<uint8_t>(code & 0xFF);
    image_[20] = static_cast<uint8_t>((image_[20] & 0xF8) | ((code >> 8) & 0x07));
    if (uint32_t s = Smbus(device_.Write(19, {image_[19], image_[20]})); board::IsError(s)) {
      return s;
    }
    Post(0xCC);
    image_[9] = static_cast<uint8_t>(image_[9] & ~0x78);
    if (uint32_t s = WriteRegister(9); board::IsError(s)) {
      return s;
    }
    sio_.Disarm(e_.actions);
    image_[3] = static_cast<uint8_t>(image_[3] | 0x80);
    return WriteRegister(3);
  }

  uint32_t Callback() {
    Locate(kVariablePpi, config_.variablePpi ? board::kEfiSuccess : board::kEfiNotFound);
    if (!config_.variablePpi) {
      return board::kEfiNotFound;
    }
    uint32_t status = 0;
    auto setup = GetVariable(kSetupVariable, config_.setup, board::setup::kSize, status);
    if (!setup) {
      return status;
    }
    if (setup->size() < 168) {
      return kBadBufferSize;
    }
    Locate(kSmbus2Ppi, board::kEfiSuccess);

    // The image: byte count 0x11 (status ignored), 17 bytes from register 0,
    // then the count register 8 reported, at most 18, from register 17.
    image_[8] = 0x11;
    (void)WriteRegister(8);
    if (uint32_t s = ReadInto(0, 17); board::IsError(s)) {
      return s;
    }
    const uint64_t second = std::min<uint64_t>(image_[8], 18);
    if (uint32_t s = ReadInto(17, second); board::IsError(s)) {
      return s;
    }
    if (second < 4) {  // registers 19 and 20 were not read
      return board::kEfiDeviceError;
    }
    e_.fullImage = true;

    if ((image_[0] & 0x20) == 0) {
      image_[0] = static_cast<uint8_t>(image_[0] | 0x20);
      if (uint32_t s = WriteRegister(0); board::IsError(s)) {
        return s;
      }
    }

    auto pch = GetVariable(kPchRcVariable, config_.pchRcConfiguration, board::pchrc::kSize, status);
    const bool set = pch && pch->size() > 1349 && (*pch)[1349] == 5;
    const uint8_t mode = image_[1];
    std::optional<uint8_t> newMode;
    if (set && (mode & 0xC0) == 0) {
      newMode = static_cast<uint8_t>((mode & 0x1F) | 0xC0);
    } else if (!set && (mode & 0xE0) != 0) {
      newMode = static_cast<uint8_t>(mode & 0x1F);
    }
    if (newMode) {
      image_[1] = *newMode;
      if (uint32_t s = WriteRegister(1); board::IsError(s)) {
        return s;
      }
    }

    const uint16_t current = static_cast<uint16_t>(((image_[20] & 7) << 8) | image_[19]);
    const uint16_t target = static_cast<uint16_t>((*setup)[164] | ((*setup)[165] << 8));
    const uint8_t select = (*setup)[166];
    delayUs_ = (*setup)[167];

    if (target <= 2047) {  // a step is about 140 accesses
      e_.actions.reserve(e_.actions.size() + 16 +
                         150 * static_cast<size_t>(std::abs(target - current)));
    }
    uint32_t stepStatus = board::kEfiSuccess;
    if (target > 2047) {
      stepStatus = board::kEfiInvalidParameter;
    } else if (current != target) {
      const bool automatic = select == 0xFF;
      if (!automatic) {
        if (uint32_t s = SetLevel(select); board::IsError(s)) {
          return s;
        }
        Delay();
      }
      uint16_t code = current;
      do {
        code = static_cast<uint16_t>(code < target ? code + 1 : code - 1);
        if (automatic) {
          if (uint32_t s = SetLevel(AutoLevel(code)); board::IsError(s)) {
            return s;
          }
          Delay();
        }
        const uint32_t s = Step(code);
        if (board::IsError(s) && !board::IsError(stepStatus)) {
          stepStatus = s;
        }
        Delay();
      } while (code != target);
    }

    image_[8] = 0x01;
    const uint32_t final = WriteRegister(8);
    if (board::IsError(final)) {
      return final;
    }
    if (board::IsError(stepStatus)) {
      return stepStatus;
    }
    // At the target the final write's warning is not passed on; after a
    // ramp it is the callback's status unchanged.
    return current == target ? board::kEfiSuccess : final;
  }

  const BoardConfig& config_;
  Expectation& e_;
  ModelDevice device_;
  ModelSio sio_;
  std::array<uint8_t, 35> image_{};
  uint32_t delayUs_ = 0;
};

// ---- Comparing a run with the model ----

// Compares the callback's accesses with the expected ones as they happen and
// stops at the first difference. Consecutive timer reads are one observed
// TimerReads action; against a run of expected delays they are split into
// waits, each ending at the first read at least ticks + 1 counts (24 bits)
// past its first read.
class ActionMatcher {
 public:
  explicit ActionMatcher(const std::vector<Action>& expected) : expected_(expected) {}

  // One timer reading of the callback.
  void OnTimerRead(uint32_t value) {
    if (stopped_) {
      return;
    }
    if (!reading_) {
      reading_ = true;
      count_ = 0;
      firstRead_ = reads_;
      delays_ = 0;
      while (i_ + delays_ < expected_.size() && expected_[i_ + delays_].kind == Act::Delay) {
        ++delays_;
      }
      ticks_ = delays_ != 0 ? Ticks(expected_[i_].value) : 0;
      done_ = 0;
      open_ = false;
    }
    ++count_;
    ++reads_;
    if (delays_ == 0) {
      return;
    }
    if (!open_) {
      start_ = value;
      open_ = true;
    } else if (((value - start_) & 0xFFFFFFU) >= ticks_ + 1) {
      open_ = false;
      ++done_;
    }
  }

  // Any other access of the callback.
  void OnAction(const Action& action) {
    if (stopped_) {
      return;
    }
    if (reading_) {
      EndReads(false, false);
      if (stopped_) {
        return;
      }
    }
    if (i_ < expected_.size() && expected_[i_].kind == Act::Delay) {
      MissingDelay();
      return;
    }
    Match(action);
  }

  // The run has ended; `hung`: it was stopped (possibly inside a delay).
  void Finish(bool hung) {
    if (stopped_) {
      return;
    }
    if (reading_) {
      EndReads(true, hung);
      if (stopped_) {
        return;
      }
    }
    if (i_ < expected_.size()) {
      if (expected_[i_].kind == Act::Delay) {
        MissingDelay();
      } else {
        Fail("the callback stopped after " + std::to_string(j_) +
             " accesses; expected next: " + expected_[i_].Describe());
      }
      return;
    }
    if (hung) {
      Fail("the run hung although the callback made every expected access");
    }
  }

  // The first difference, if any.
  [[nodiscard]] const std::optional<std::string>& Failure() const { return failure_; }

 private:
  void Fail(std::string text) {
    failure_ = std::move(text);
    stopped_ = true;
  }

  // Compares one observed action with the next expected one.
  void Match(const Action& action) {
    if (i_ >= expected_.size()) {
      Fail("unexpected access after the last expected one: " + action.Describe());
    } else if (!(expected_[i_] == action)) {
      Fail("action " + std::to_string(j_) + ": expected " + expected_[i_].Describe() + ", got " +
           action.Describe());
    } else {
      ++i_;
      ++j_;
    }
  }

  // A run of reads has ended (`last`: with the run).
  void EndReads(bool last, bool hung) {
    reading_ = false;
    if (delays_ == 0) {
      Action reads = Make(Act::TimerReads, kTimerPort, 0);
      reads.first = firstRead_;
      reads.count = count_;
      Match(reads);
      return;
    }
    ++j_;
    if (hung && last && open_ && done_ < delays_) {
      stopped_ = true;  // stopped inside a delay that could not end
      return;
    }
    if (done_ != delays_ || open_) {
      Fail("action " + std::to_string(j_) + ": expected " + std::to_string(delays_) +
           " delay(s) of " + std::to_string(expected_[i_].value) + " us, the timer reads made " +
           std::to_string(done_) + " complete wait(s)" + (open_ ? " and an incomplete one" : ""));
      return;
    }
    i_ += delays_;
  }

  // Expected delays met no timer read at all.
  void MissingDelay() {
    size_t delays = 0;
    while (i_ + delays < expected_.size() && expected_[i_ + delays].kind == Act::Delay) {
      ++delays;
    }
    Fail("action " + std::to_string(j_) + ": expected " + std::to_string(delays) + " delay(s) of " +
         std::to_string(expected_[i_].value) + " us, the timer reads made 0 complete wait(s)");
  }

  const std::vector<Action>& expected_;
  size_t i_ = 0;  // next expected action
  size_t j_ = 0;  // observed actions so far
  bool stopped_ = false;
  std::optional<std::string> failure_;
  // The run of timer reads being taken.
  bool reading_ = false;
  uint32_t reads_ = 0;
  uint32_t firstRead_ = 0;
  uint32_t count_ = 0;
  size_t delays_ = 0;
  uint32_t ticks_ = 0;
  uint32_t start_ = 0;
  bool open_ = false;
  size_t done_ = 0;
};

std::string_view StatusName(uint32_t status) {
  switch (status) {
    case board::kEfiSuccess:
      return "EFI_SUCCESS";
    case board::kEfiDeviceError:
      return "EFI_DEVICE_ERROR";
    default:
      return "";
  }
}

std::string Status(uint32_t status) {
  std::string name(StatusName(status));
  return name.empty() ? Hex(status) : name;
}

// ---- Invariants that hold whatever the model says ----

// What reached the SMBus and the POST pattern of each step, watched one
// callback access at a time (processor lines are not passed).
struct InvariantWatch {
  void Take(const Event& ev) {
    readTimer = readTimer || (ev.kind == EventKind::Io && ev.address == kTimerPort);
    if (ev.kind == EventKind::Smbus) {
      answered.push_back(ev.status);
      const auto& data = ev.Data();
      const bool write = ev.op == kWriteBlock;
      const bool read = ev.op == kReadBlock;
      const bool allowedWrite =
          write &&
          (ev.value == 19 ? ev.length == 2
                          : ev.length == 1 && (ev.value == 0 || ev.value == 1 || ev.value == 3 ||
                                               ev.value == 6 || ev.value == 8 || ev.value == 9));
      const bool allowedRead = read && (ev.value == 0 || ev.value == 17);
      if (ev.address != 0x6B || !(allowedWrite || allowedRead)) {
        out.emplace_back("SMBus transaction outside the named registers: command " +
                         std::to_string(ev.value) + ", length " + std::to_string(ev.length));
      }
      // A warning is no failure: the transaction was carried out.
      const bool failed = board::IsError(ev.status) || (read && data.size() != ev.length);
      if (failed || (read && ev.value == 17 && ev.length < 4)) {
        clean = false;  // a failure, or an image without the code registers
      }
      lastSmbus = LastSmbus{true, ev.op, ev.value, ev.status};
      if (failed) {
        errorAfterFirst = errorAfterFirst || transaction != 0;
        if (step != StepState::None) {
          stepFailed = true;
        }
      } else if (write && ev.value == 9 && step == StepState::Begun && !data.empty() &&
                 (data[0] & 0x78) == 0x78) {
        reg9Set = true;
      } else if (write && ev.value == 19 && step == StepState::Guarded) {
        codeWritten = true;
      }
      ++transaction;
    } else if (ev.kind == EventKind::Pei) {
      answered.push_back(ev.status);
    } else if (ev.kind == EventKind::Io && ev.op == static_cast<uint8_t>(board::IoOp::Out) &&
               ev.address == kPostPort) {
      auto closeStep = [&] {
        if (step == StepState::Begun && !stepFailed) {
          out.emplace_back("a step ended after 0xC4 although its writes succeeded");
        }
        if (step == StepState::Guarded && !stepFailed) {
          out.emplace_back("a step ended after 0xC8 although its code write succeeded");
        }
      };
      switch (ev.value) {
        case 0xC4:
          closeStep();
          step = StepState::Begun;
          reg9Set = codeWritten = stepFailed = false;
          ++begun;
          break;
        case 0xC8:
          if (step != StepState::Begun || !reg9Set) {
            out.emplace_back("POST 0xC8 without a successful register 9 write in its step");
          }
          step = StepState::Guarded;
          break;
        case 0xCC:
          if (step != StepState::Guarded || !codeWritten) {
            out.emplace_back("POST 0xCC without a successful code write in its step");
          }
          step = StepState::Coded;
          break;
        default:
          out.emplace_back("POST code " + Hex(ev.value) + " outside 0xC4, 0xC8, 0xCC");
      }
    }
  }

  std::vector<uint32_t> answered;
  size_t transaction = 0;
  bool errorAfterFirst = false;
  bool clean = true;
  enum class StepState : uint8_t { None, Begun, Guarded, Coded } step = StepState::None;
  bool reg9Set = false;
  bool codeWritten = false;
  bool stepFailed = false;  // an error answered inside the current step
  size_t begun = 0;
  bool readTimer = false;        // the callback read the ACPI timer
  // The last SMBus transaction (the event itself does not outlive the call).
  struct LastSmbus {
    bool seen = false;
    uint8_t op = 0;
    uint64_t command = 0;
    uint32_t status = 0;
  } lastSmbus;
  std::vector<std::string> out;  // what broke, in order
};

// The invariants of a run, from its final board and what the watch saw;
// `hangAt` is the t of the "hang" line (0 without one).
void CheckInvariants(const BoardConfig& config, const Expectation& e,
                     const board::RunOutcome& outcome, const board::Board& board,
                     const InvariantWatch& watch, uint64_t hangAt, std::vector<std::string>& out) {
  const auto& before = config.clockGenerator;
  const auto& after = board.ClockGen().Registers();

  // The entry cannot hang and always succeeds.
  if (outcome.entryStatus != std::optional<uint32_t>(board::kEfiSuccess)) {
    out.emplace_back("the entry did not return EFI_SUCCESS");
  }
  if (outcome.notifications != (e.delivered ? 1U : 0U)) {
    out.emplace_back("callbacks delivered: " + std::to_string(outcome.notifications));
  }

  // Register bits outside the named masks.
  std::array<uint8_t, 256> mask{};
  mask[0] = 0x20;
  mask[1] = 0xE0;
  mask[3] = 0x80;
  mask[6] = 0xFF;
  mask[8] = 0xFF;
  mask[9] = 0x78;
  mask[19] = 0xFF;
  mask[20] = 0x07;
  for (size_t r = 0; r < 256; ++r) {
    if (((before[r] ^ after[r]) & ~mask[r] & 0xFF) != 0) {
      out.emplace_back("register " + std::to_string(r) +
                       " changed outside its mask: " + Hex(before[r]) + " -> " + Hex(after[r]));
    }
  }

  out.insert(out.end(), watch.out.begin(), watch.out.end());
  using StepState = InvariantWatch::StepState;
  const StepState step = watch.step;
  const bool stepFailed = watch.stepFailed;
  const std::vector<uint32_t>& answered = watch.answered;
  const bool errorAfterFirst = watch.errorAfterFirst;
  const bool clean = watch.clean;
  const size_t begun = watch.begun;
  if (!outcome.hung && ((step == StepState::Begun || step == StepState::Guarded) && !stepFailed)) {
    out.emplace_back("the last step stopped early although its writes succeeded");
  }

  // The callback's status comes from the defined set.
  if (outcome.notifyStatus) {
    const uint32_t s = *outcome.notifyStatus;
    const bool defined = s == board::kEfiSuccess || s == kBadBufferSize ||
                         s == board::kEfiInvalidParameter || s == board::kEfiNotFound ||
                         s == board::kEfiBufferTooSmall || s == board::kEfiDeviceError ||
                         std::find(answered.begin(), answered.end(), s) != answered.end();
    if (!defined) {
      out.emplace_back("the callback returned " + Hex(s) + ", a status nothing answered");
    }
    if (errorAfterFirst && !board::IsError(s)) {
      out.emplace_back("the callback reported " + Status(s) +
                       " although a transaction after the first failed");
    }
  }

  // Success whenever nothing failed.
  const bool setupUsable = config.variablePpi && config.setup && config.setup->size() >= 168 &&
                           config.setup->size() <= board::setup::kSize;
  if (setupUsable && e.delivered && clean && !outcome.hung) {
    const auto& s = *config.setup;
    const uint16_t target = static_cast<uint16_t>(s[164] | (s[165] << 8));
    const uint16_t current = static_cast<uint16_t>(((before[20] & 7) << 8) | before[19]);
    if (target <= 2047) {
      // After a ramp a warning from the final register-8 write is passed on.
      const InvariantWatch::LastSmbus& lastSmbus = watch.lastSmbus;
      const bool finalWarned = current != target && lastSmbus.seen &&
                               lastSmbus.op == kWriteBlock && lastSmbus.command == 8 &&
                               lastSmbus.status != board::kEfiSuccess;
      const uint32_t success = finalWarned ? lastSmbus.status : board::kEfiSuccess;
      if (outcome.notifyStatus != std::optional<uint32_t>(success)) {
        out.emplace_back("nothing failed, yet the callback did not report " + Status(success));
      }
      if (board.ClockGen().Code() != target) {
        out.emplace_back("nothing failed, yet the code is " +
                         std::to_string(board.ClockGen().Code()) + ", not the target " +
                         std::to_string(target));
      }
      if (board.Sio().GuardArmed()) {
        out.emplace_back("nothing failed, yet the guard is armed at the end");
      }
      if (after[8] != 1) {
        out.emplace_back("nothing failed, yet register 8 is not 1 at the end");
      }
      const size_t distance = target > current ? target - current : current - target;
      if (begun != distance) {
        out.push_back(std::to_string(begun) + " steps for a distance of " +
                      std::to_string(distance));
      }
    }
  }

  // Hangs only where the timer cannot answer, and only in a delay.
  const bool answers = board.Pch().AcpiDecoding() && board.Pch().AcpiBase() == 0x500;
  const bool readTimer = watch.readTimer;
  if (outcome.hung) {
    const bool stopped =
        config.timerMode == board::TimerMode::StopsAfter && config.timerStopsAfterNs <= hangAt;
    if (answers && config.timerMode != board::TimerMode::Frozen && !stopped) {
      out.emplace_back("the run hung although the timer answers and moves");
    }
    if (board.StopReason().find("port 0x0508") == std::string::npos) {
      out.emplace_back("the run hung elsewhere than on the timer: " + board.StopReason());
    }
  } else if (readTimer && (!answers || config.timerMode == board::TimerMode::Frozen)) {
    out.emplace_back("a delay ended although the timer cannot answer or move");
  }
}

// The action of one callback access other than a timer read; `index` is
// its line in the run.
Action ToAction(const Event& ev, uint64_t index) {
  const bool in = ev.kind == EventKind::Io && ev.op == static_cast<uint8_t>(board::IoOp::In);
  // Anything not recognised below stays Unexpected, naming its trace line.
  Action a = Make(Act::Unexpected, 0, index);
  switch (ev.kind) {
    case EventKind::Pei:
      if (ev.op == static_cast<uint8_t>(board::PeiCall::LocatePpi) && ev.address == 0) {
        a = Make(Act::Locate, PpiCodeOf(ev.PeiGuid()), 0);
        a.status = ev.status;
      } else if (ev.op == static_cast<uint8_t>(board::PeiCall::GetVariable)) {
        const bool setup = ev.Text() == "Setup" && ev.PeiGuid() == board::guids::kSetupVariable;
        const bool pch = ev.Text() == "PchRcConfiguration" &&
                         ev.PeiGuid() == board::guids::kPchRcConfigurationVariable;
        a = Make(Act::GetVariable,
                 setup ? kSetupVariable
                 : pch ? kPchRcVariable
                       : kOtherVariable,
                 ev.length);
        a.extra = static_cast<uint32_t>(ev.value);
        a.status = ev.status;
      }
      break;
    case EventKind::Smbus:
      if (ev.address == 0x6B) {
        const std::vector<uint8_t>& data = ev.Data();
        a = SmbusAction(ev.op, static_cast<uint8_t>(ev.value), ev.length, ev.status, data.data(),
                        data.size());
        if (ev.value > 0xFF || data.size() > a.data.size() || ev.length > 0xFFFFFFFFU) {
          a.kind = Act::Unexpected;
        }
      }
      break;
    case EventKind::Io:
      if (!in && ev.address == kPostPort && ev.width == 8) {
        a = Make(Act::Post, kPostPort, ev.value);
      } else if ((ev.address == kSioIndex || ev.address == kSioData) && ev.width == 8) {
        a = Make(in ? Act::SioIn : Act::SioOut, static_cast<uint32_t>(ev.address), ev.value);
      }
      break;
    default:
      break;
  }
  return a;
}

// Whether an access is a 32-bit read of the ACPI timer.
bool IsTimerRead(const Event& ev) {
  return ev.kind == EventKind::Io && ev.op == static_cast<uint8_t>(board::IoOp::In) &&
         ev.address == kTimerPort && ev.width == 32;
}

}  // namespace

std::string Action::Describe() const {
  static constexpr std::array<const char*, 4> kPpis = {"variable PPI", "SMBus2 PPI", "PCD PPI",
                                                       "another PPI"};
  static constexpr std::array<const char*, 3> kVariables = {"Setup", "PchRcConfiguration",
                                                            "another variable"};
  switch (kind) {
    case Act::Locate:
      return std::string("LocatePpi(") + kPpis[std::min<size_t>(port, 3)] + ") -> " +
             Status(status);
    case Act::GetVariable:
      return std::string("GetVariable(") + kVariables[std::min<size_t>(port, 2)] + ", size " +
             std::to_string(value) + ") -> " + Status(status) + ", DataSize " +
             std::to_string(extra);
    case Act::Smbus:
      return std::string(op == kWriteBlock  ? "write"
                         : op == kReadBlock ? "read"
                                            : "op?") +
             " command " + std::to_string(port) + " length " + std::to_string(value) + " " +
             Bytes(std::vector<uint8_t>(data.begin(), data.begin() + size)) + " -> " +
             Status(status);
    case Act::Post:
      return "POST " + Hex(value);
    case Act::SioOut:
      return "out " + Hex(port) + " " + Hex(value);
    case Act::SioIn:
      return "in " + Hex(port) + " = " + Hex(value);
    case Act::Delay:
      return "delay " + std::to_string(value) + " us";
    case Act::TimerReads:
      return std::to_string(count) + " timer reads";
    case Act::Unexpected:
      return "an unexpected access (trace line " + std::to_string(value) + ")";
  }
  return "?";
}

Expectation Expect(const BoardConfig& config, std::vector<Action> storage) {
  Expectation e;
  storage.clear();
  e.actions = std::move(storage);
  // The entry: decoding on at 0x500 unless it already was on, when the PCD
  // answers the real window base (low 32 bits, not 0).
  e.acpiBase = config.acpiBase;
  e.acpiControl = config.acpiControl;
  const uint64_t pcd = config.pcdPcieBase.value_or(config.pcieBase);
  const auto low = static_cast<uint32_t>(pcd);
  const bool reaches = config.pcdPpi && low != 0 && low == config.pcieBase;
  if ((config.acpiControl & 0x80) == 0 && reaches) {
    e.pchEnabled = true;
    e.acpiBase = 0x500;
    e.acpiControl = static_cast<uint8_t>(config.acpiControl | 0x80);
  }
  e.timerAnswers = (e.acpiControl & 0x80) != 0 && e.acpiBase == 0x500;

  e.delivered = config.notifyPpiStatus == 0 && config.smbusPpi != board::SmbusPpiTiming::Absent;
  e.registers = config.clockGenerator;
  if (e.delivered) {
    CallbackModel(config, e).Run();
  }
  return e;
}

Observed ObservedActions(const board::Trace& trace) {
  Observed seen;
  CallbackWindow window;
  for (size_t index = 0; index < trace.size(); ++index) {
    const Event& ev = trace[index];
    if (!window.Inside(ev)) {
      continue;
    }
    if (IsTimerRead(ev)) {
      if (seen.actions.empty() || seen.actions.back().kind != Act::TimerReads) {
        Action a = Make(Act::TimerReads, kTimerPort, 0);
        a.first = static_cast<uint32_t>(seen.reads.size());
        seen.actions.push_back(a);
      }
      seen.actions.back().count++;
      seen.reads.push_back(static_cast<uint32_t>(ev.value));
      continue;
    }
    seen.actions.push_back(ToAction(ev, index));
  }
  return seen;
}

bool CallbackWindow::Inside(const Event& e) {
  const bool notify = e.op == static_cast<uint8_t>(board::Function::ClockRampNotify);
  if (e.kind == EventKind::Call && notify) {
    inside_ = true;
    return false;
  }
  if (e.kind == EventKind::Return && notify) {
    inside_ = false;
    return false;
  }
  return inside_ && e.kind != EventKind::Hang && e.kind != EventKind::State &&
         e.kind != EventKind::Cpu;
}

// The checks a RunChecker makes as the run goes.
struct RunChecker::Watch {
  explicit Watch(const Expectation& e) : matcher(e.actions) {}
  ActionMatcher matcher;
  InvariantWatch invariants;
};

RunChecker::RunChecker(const BoardConfig& config, std::vector<Action> storage)
    : config_(config),
      expectation_(Expect(config, std::move(storage))),
      watch_(std::make_unique<Watch>(expectation_)) {}

RunChecker::~RunChecker() = default;

void RunChecker::OnEvent(const Event& ev) {
  const uint64_t index = index_++;
  if (ev.kind == EventKind::Hang) {
    hangAt_ = ev.t;
  }
  if (!window_.Inside(ev)) {
    return;
  }
  watch_->invariants.Take(ev);
  if (IsTimerRead(ev)) {
    watch_->matcher.OnTimerRead(static_cast<uint32_t>(ev.value));
  } else {
    watch_->matcher.OnAction(ToAction(ev, index));
  }
}

std::vector<Action> RunChecker::TakeStorage() {
  watch_.reset();  // its matcher refers to the expected actions
  return std::move(expectation_.actions);
}

std::vector<std::string> RunChecker::Finish(const board::RunOutcome& outcome,
                                            const board::Board& board) {
  std::vector<std::string> out;
  const Expectation& e = expectation_;
  const BoardConfig& config = config_;
  CheckInvariants(config, e, outcome, board, watch_->invariants, hangAt_, out);

  // The entry's effect on the platform controller.
  if (board.Pch().AcpiBase() != e.acpiBase || board.Pch().AcpiControl() != e.acpiControl) {
    out.emplace_back("after the entry the ACPI base/control are " + Hex(board.Pch().AcpiBase()) +
                     "/" + Hex(board.Pch().AcpiControl()) + ", expected " + Hex(e.acpiBase) + "/" +
                     Hex(e.acpiControl));
  }
  if (!e.delivered) {
    if (outcome.notifications != 0 || board.ClockGen().Registers() != config.clockGenerator ||
        !board.Post().Codes().empty()) {
      out.emplace_back("the callback ran, or devices changed, without a registered notification");
    }
    return out;
  }

  // The callback, access by access.
  watch_->matcher.Finish(outcome.hung);
  if (const auto& failure = watch_->matcher.Failure()) {
    out.push_back(*failure);
  }
  if (outcome.hung) {
    return out;
  }
  if (outcome.notifyStatus != std::optional<uint32_t>(e.status)) {
    out.emplace_back(
        "the callback returned " +
        (outcome.notifyStatus ? Status(*outcome.notifyStatus) : std::string("nothing")) +
        ", expected " + Status(e.status));
  }
  const auto& regs = board.ClockGen().Registers();
  for (size_t r = 0; r < 256; ++r) {
    if (regs[r] != e.registers[r]) {
      out.emplace_back("register " + std::to_string(r) + " is " + Hex(regs[r]) + ", expected " +
                       Hex(e.registers[r]));
    }
  }
  const auto& sio = board.Sio();
  if (sio.DeviceRegister(0x08, 0x30) != e.ldn8Reg30 ||
      sio.DeviceRegister(0x08, 0xF6) != e.ldn8RegF6 ||
      sio.DeviceRegister(0x0A, 0xE7) != e.ldnAregE7 ||
      (e.selected && sio.Selected() != *e.selected)) {
    out.emplace_back("Super I/O guard registers differ from the model (guard armed: " +
                     std::string(sio.GuardArmed() ? "yes" : "no") + ")");
  }
  if (board.Post().Codes() != e.post) {
    out.emplace_back("POST codes " + Bytes(board.Post().Codes()) + ", expected " + Bytes(e.post));
  }
  return out;
}

std::vector<std::string> CheckRun(const BoardConfig& config, const board::RunOutcome& outcome,
                                  const board::Board& board) {
  RunChecker checker(config);
  for (const Event& e : board.Events()) {
    checker.OnEvent(e);
  }
  return checker.Finish(outcome, board);
}

std::string Describe(const BoardConfig& config) {
  const BoardConfig def;
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  for (size_t r = 0; r < 256; ++r) {
    if (config.clockGenerator[r] != def.clockGenerator[r]) {
      add("reg" + std::to_string(r) + "=" + Hex(config.clockGenerator[r]));
    }
  }
  if (config.reportedByteCount) {
    add("reported count " + std::to_string(*config.reportedByteCount));
  }
  for (const auto& f : config.smbusFailures) {
    add("fail #" + std::to_string(f.transaction) + " " + Hex(f.status));
  }
  auto variable = [&add](const char* name, const std::optional<std::vector<uint8_t>>& v,
                         const std::optional<std::vector<uint8_t>>& d) {
    if (!v) {
      add(std::string(name) + " absent");
    } else if (v != d) {
      std::string part = std::string(name) + " size " + std::to_string(v->size());
      for (size_t i = 0; i < v->size(); ++i) {
        const uint8_t was = d && i < d->size() ? (*d)[i] : 0;
        if ((*v)[i] != was) {
          part += " [" + std::to_string(i) + "]=" + Hex((*v)[i]);
        }
      }
      add(part);
    }
  };
  variable("Setup", config.setup, def.setup);
  variable("PchRc", config.pchRcConfiguration, def.pchRcConfiguration);
  if (config.pcieBase != def.pcieBase) {
    add("pcie " + Hex(config.pcieBase));
  }
  if (config.pcdPcieBase) {
    add("pcd " + Hex(*config.pcdPcieBase));
  }
  if (config.acpiBase != 0 || config.acpiControl != 0) {
    add("acpi " + Hex(config.acpiBase) + "/" + Hex(config.acpiControl));
  }
  if (config.timerStart != 0) {
    add("timer start " + Hex(config.timerStart));
  }
  if (config.timerMode == board::TimerMode::Frozen) {
    add("timer frozen");
  } else if (config.timerMode == board::TimerMode::StopsAfter) {
    add("timer stops after " + std::to_string(config.timerStopsAfterNs) + " ns");
  }
  if (config.superIoSelected != 0) {
    add("sio ldn " + Hex(config.superIoSelected));
  }
  for (const auto& [reg, value] : config.superIoGlobal) {
    add("sio global " + Hex(reg) + "=" + Hex(value));
  }
  for (const auto& [ldn, regs] : config.superIoDevices) {
    for (const auto& [reg, value] : regs) {
      add("sio " + Hex(ldn) + "." + Hex(reg) + "=" + Hex(value));
    }
  }
  if (config.smbusPpi != def.smbusPpi) {
    add(config.smbusPpi == board::SmbusPpiTiming::BeforeEntry ? "smbus before entry"
                                                              : "smbus absent");
  }
  if (!config.variablePpi) {
    add("no variable PPI");
  }
  if (!config.pcdPpi) {
    add("no PCD PPI");
  }
  if (config.notifyPpiStatus != 0) {
    add("NotifyPpi " + Hex(config.notifyPpiStatus));
  }
  return text.empty() ? "default board" : text;
}

}  // namespace robustness
