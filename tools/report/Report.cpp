#include "tools/report/Report.h"

#include <algorithm>
#include <exception>
#include <span>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "BuildPaths.h"
#include "board/NativeEngine.h"
#include "board/Trace.h"
#include "emu/Differential.h"
#include "emu/Ia32Engine.h"
#include "tools/EfiStatus.h"

namespace clockramp::report {

namespace {

using board::Event;
using board::EventKind;

bool IsIo(const Event& e, uint16_t port) { return e.kind == EventKind::Io && e.address == port; }

bool IsStepBegin(const Event& e) {
  return IsIo(e, kPostPort) && e.op == static_cast<uint8_t>(board::IoOp::Out) &&
         (e.value & 0xFF) == kPostStepBegin;
}

bool IsSuperIo(const Event& e) { return IsIo(e, kSioIndexPort) || IsIo(e, kSioDataPort); }

std::string PeiCallName(const Event& e) {
  if (e.kind == EventKind::Pcd) {
    return "PCD Get64";
  }
  switch (static_cast<board::PeiCall>(e.op)) {
    case board::PeiCall::LocatePpi:
      return "LocatePpi";
    case board::PeiCall::NotifyPpi:
      return "NotifyPpi";
    case board::PeiCall::GetVariable:
      return "GetVariable";
    case board::PeiCall::InstallPpi:
      return "InstallPpi";
    case board::PeiCall::ReInstallPpi:
      return "ReInstallPpi";
    case board::PeiCall::NextVariableName:
      return "NextVariableName";
  }
  return fmt::format("PEI call {}", e.op);
}

// A byte of a variable image, when it reaches that far.
std::optional<uint8_t> ByteAt(const std::optional<std::vector<uint8_t>>& data, size_t offset) {
  if (!data || data->size() <= offset) {
    return std::nullopt;
  }
  return (*data)[offset];
}

uint16_t CodeOf(const std::array<uint8_t, 256>& registers) {
  return static_cast<uint16_t>(((registers[20] & 7) << 8) | registers[19]);
}

// A native run's events but its processor lines, which the comparison with
// the IA-32 engine leaves out (that engine records none): those are counted.
// The worst case's 1.04 million PAUSE lines are not kept.
class NativeKeeper final : public board::EventSink {
 public:
  void OnEvent(const Event& e) override {
    if (e.kind != EventKind::Cpu) {
      trace_.OnEvent(e);
    } else if (e.op == static_cast<uint8_t>(board::CpuOp::Sidt)) {
      ++sidt;
    } else {
      ++pauses;
    }
  }
  [[nodiscard]] std::span<const Event> Events() const { return trace_.Events(); }

  uint32_t sidt = 0;
  uint32_t pauses = 0;

 private:
  board::Trace trace_;
};

// The emulator's options: the image to run (parsed once per report) and
// measuring on.
emu::EmuOptions EmuOptionsFor(const ReportOptions& options) {
  emu::EmuOptions emu;
  emu.image = emu::ReadImage(options.imagePath.empty() ? DefaultImagePath() : options.imagePath);
  emu.measure = true;
  return emu;
}

void MeasureSteps(RunFigures& run, const FigureSink& figures,
                  const std::vector<uint64_t>& stepInstructions) {
  StepFigures& s = run.steps;
  s.steps = figures.Steps();
  std::vector<uint64_t> time;
  std::vector<uint64_t> smbus;
  std::vector<uint64_t> superIo;
  std::vector<uint64_t> post;
  std::vector<uint64_t> timer;
  for (const StepInterval& i : figures.Intervals()) {
    time.push_back(i.time);
    smbus.push_back(i.smbus);
    superIo.push_back(i.superIo);
    post.push_back(i.post);
    timer.push_back(i.timerReads);
  }
  s.instructions = Distribute(stepInstructions);
  s.time = Distribute(time);
  s.smbus = Distribute(smbus);
  s.superIo = Distribute(superIo);
  s.post = Distribute(post);
  s.timerReads = Distribute(timer);
}

// The same board without settle waits: what a step costs the module itself,
// and (from the difference) what one more timer poll costs.
void MeasureNoWait(RunFigures& run, const board::BoardConfig& config,
                   const emu::EmuOptions& options) {
  if (!run.stepDelayUs || *run.stepDelayUs == 0 || run.steps.instructions.count == 0) {
    return;
  }
  board::BoardConfig noWait = config;
  (*noWait.setup)[board::setup::kRampStepDelayOffset] = 0;
  FigureSink figures;
  emu::EmuResult result = emu::RunIa32(noWait, options, &figures);
  std::vector<uint64_t> timer;
  timer.reserve(figures.Intervals().size());
  for (const StepInterval& i : figures.Intervals()) {
    timer.push_back(i.timerReads);
  }
  run.steps.instructionsNoWait = Distribute(result.figures.step_instructions);
  run.steps.timerReadsNoWait = Distribute(timer);

  const auto port = figures.Accesses().io.find(kTimerPort);
  uint64_t reads = port == figures.Accesses().io.end() ? 0 : port->second.in;
  uint64_t readsWithWait = run.accesses.io[kTimerPort].in;
  if (readsWithWait > reads && run.callbackInstructions > result.figures.callback_instructions) {
    run.steps.instructionsPerPoll =
        static_cast<double>(run.callbackInstructions - result.figures.callback_instructions) /
        static_cast<double>(readsWithWait - reads);
  }
}

// ---- Text ----

std::string Count(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) {
      out += ',';
    }
    out += digits[i];
  }
  return out;
}

std::string Millis(uint64_t ns) {
  return fmt::format("{}.{:03} ms", Count(ns / 1'000'000), ns / 1000 % 1000);
}

// Below a millisecond in µs with one decimal, else in ms.
std::string Micros(uint64_t ns) {
  return ns >= 1'000'000 ? Millis(ns) : fmt::format("{}.{} µs", ns / 1000, ns / 100 % 10);
}

std::string Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? std::string("-")
                    : fmt::format("{:.1f}%",
                                  100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

std::string Status(const std::optional<uint32_t>& status) {
  return status ? tool::StatusName(*status) : std::string("did not return");
}

std::string Goal(uint64_t value, uint64_t goal) {
  return value <= goal
             ? fmt::format("goal <= {}: met, {} bytes to spare", Count(goal), Count(goal - value))
             : fmt::format("goal <= {}: MISSED by {} bytes", Count(goal), Count(value - goal));
}

std::string LevelMode(const RunFigures& r) {
  if (!r.levelSelect) {
    return "level select unread";
  }
  return *r.levelSelect == board::setup::kLevelAutomatic
             ? std::string("automatic levels")
             : fmt::format("fixed level select 0x{:02X}", *r.levelSelect);
}

void PrintDistributionRow(std::ostream& out, const char* label, const Distribution& d) {
  out << fmt::format("    {:<26}{:>10}{:>10}{:>10}\n", label, Count(d.min), Count(d.median),
                     Count(d.max));
}

// Nanoseconds shown as microseconds with one decimal.
void PrintMicrosRow(std::ostream& out, const char* label, const Distribution& d) {
  auto us = [](uint64_t ns) { return fmt::format("{}.{}", Count(ns / 1000), ns / 100 % 10); };
  out << fmt::format("    {:<26}{:>10}{:>10}{:>10}\n", label, us(d.min), us(d.median), us(d.max));
}

void PrintRun(std::ostream& out, const RunFigures& r) {
  out << "\n" << r.name << "\n";
  auto line = [&](const char* label, const std::string& text) {
    out << fmt::format("  {:<14}{}\n", label, text);
  };

  std::string ramp = fmt::format("code {}", r.codeFrom);
  if (r.target) {
    ramp += fmt::format(" -> target {}", *r.target);
  }
  ramp += fmt::format(", ended at {}; {}", r.codeTo, LevelMode(r));
  if (r.stepDelayUs) {
    ramp += fmt::format(", {} µs settle delay", *r.stepDelayUs);
  }
  line("ramp", ramp);
  std::string outcome =
      fmt::format("entry {}, callback {}", Status(r.entryStatus), Status(r.notifyStatus));
  if (r.hung) {
    outcome += "; stopped: " + r.stopReason;
  }
  if (!r.fault.empty()) {
    outcome += "; guest fault: " + r.fault;
  }
  line("outcome", outcome);
  line("engines", r.difference ? "IA-32 and native runs DIFFER: " + *r.difference
                               : fmt::format("IA-32 and native runs agree ({} trace lines)",
                                             Count(r.traceLines)));

  line("stack", fmt::format("{} bytes high-water; {}", Count(r.stackHighWater),
                            Goal(r.stackHighWater, kStackGoal)));
  out << fmt::format(
      "    entry {}, callback {} (with the {} bytes of arguments and return "
      "address the Foundation pushes)\n",
      Count(r.entryStack), Count(r.callbackStack), kCallbackFrameBytes);
  line("instructions",
       fmt::format("{} (entry {}, callback {}), PAUSE {}", Count(r.instructions),
                   Count(r.entryInstructions), Count(r.callbackInstructions), Count(r.pauses)));

  const TimeSplit& t = r.time;
  line("boot time", fmt::format("{} virtual", Millis(t.total)));
  out << fmt::format("    {:<26}{:>14}  {:>6}\n", "SMBus transactions", Millis(t.smbus),
                     Percent(t.smbus, t.total));
  out << fmt::format("    {:<26}{:>14}  {:>6}\n", "delays (ACPI timer waits)", Millis(t.delays),
                     Percent(t.delays, t.total));
  out << fmt::format("    {:<26}{:>14}  {:>6}   Super I/O {}, POST {}, MMIO {}, other ports {}\n",
                     "other accesses", Millis(t.Other()), Percent(t.Other(), t.total),
                     Millis(t.superIo), Micros(t.post), Micros(t.mmio), Micros(t.otherIo));

  const AccessCounts& a = r.accesses;
  line("accesses",
       fmt::format("{} SMBus, {} I/O, {} MMIO, {} PEI calls", Count(a.SmbusTotal()),
                   Count(a.IoTotal()), Count(a.mmioReads + a.mmioWrites), Count(a.PeiTotal())));
  std::vector<std::string> parts;
  for (const auto& [op, n] : a.smbus) {
    parts.push_back(fmt::format("{} {}", op, Count(n)));
  }
  out << fmt::format("    {:<14}{}{}\n", "SMBus", fmt::join(parts, ", "),
                     a.smbusFailed ? fmt::format(" ({} failed)", a.smbusFailed) : "");
  parts.clear();
  for (const auto& [port, n] : a.io) {
    std::string text = fmt::format("0x{:02X}", port);
    if (n.in != 0) {
      text += fmt::format(" in {}", Count(n.in));
    }
    if (n.out != 0) {
      text += fmt::format(" out {}", Count(n.out));
    }
    parts.push_back(text);
  }
  out << fmt::format("    {:<14}{}\n", "I/O", fmt::join(parts, ", "));
  out << fmt::format("    {:<14}read {}, write {}\n", "MMIO", a.mmioReads, a.mmioWrites);
  parts.clear();
  for (const auto& [call, n] : a.pei) {
    parts.push_back(fmt::format("{} {}", call, Count(n)));
  }
  out << fmt::format("    {:<14}{}\n", "PEI", fmt::join(parts, ", "));
  out << fmt::format("    {:<14}SIDT {}, PAUSE {}\n", "processor", Count(a.sidt), Count(a.pauses));

  const StepFigures& s = r.steps;
  if (s.steps == 0) {
    line("ramp steps", "none");
    return;
  }
  line("ramp steps", fmt::format("{}; per step, from one POST 0xC4 to the next ({} intervals):",
                                 Count(s.steps), Count(s.instructions.count)));
  if (s.instructions.count == 0) {
    return;
  }
  out << fmt::format("    {:<26}{:>10}{:>10}{:>10}\n", "", "min", "median", "max");
  PrintDistributionRow(out, "instructions", s.instructions);
  PrintMicrosRow(out, "virtual time (µs)", s.time);
  PrintDistributionRow(out, "SMBus transactions", s.smbus);
  PrintDistributionRow(out, "Super I/O port accesses", s.superIo);
  PrintDistributionRow(out, "POST writes", s.post);
  PrintDistributionRow(out, "ACPI timer reads", s.timerReads);
  if (s.instructionsNoWait && s.timerReadsNoWait) {
    out << "    the same board with RampStepDelay 0 (the module's own work):\n";
    PrintDistributionRow(out, "instructions", *s.instructionsNoWait);
    PrintDistributionRow(out, "ACPI timer reads", *s.timerReadsNoWait);
    uint64_t accesses =
        s.smbus.median + s.superIo.median + s.post.median + s.timerReadsNoWait->median;
    out << fmt::format(
        "    => a step (median) is {} instructions for {} accesses ({} SMBus, {} Super I/O, {} "
        "POST, {} timer): {:.1f} an access\n",
        Count(s.instructionsNoWait->median), accesses, s.smbus.median, s.superIo.median,
        s.post.median, s.timerReadsNoWait->median,
        static_cast<double>(s.instructionsNoWait->median) / static_cast<double>(accesses));
    if (s.instructionsPerPoll) {
      out << fmt::format("       every further timer poll of a settle wait: {:.1f} instructions\n",
                         *s.instructionsPerPoll);
    }
  }
}

// ---- JSON ----

nlohmann::ordered_json Json(const Distribution& d) {
  return {{"count", d.count}, {"min", d.min}, {"median", d.median}, {"max", d.max}};
}

nlohmann::ordered_json Json(const std::optional<uint32_t>& status) {
  return status ? nlohmann::ordered_json(*status) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json Json(const RunFigures& r) {
  nlohmann::ordered_json j;
  j["name"] = r.name;
  j["codeFrom"] = r.codeFrom;
  j["target"] = r.target ? nlohmann::ordered_json(*r.target) : nullptr;
  j["levelSelect"] = r.levelSelect ? nlohmann::ordered_json(*r.levelSelect) : nullptr;
  j["stepDelayUs"] = r.stepDelayUs ? nlohmann::ordered_json(*r.stepDelayUs) : nullptr;
  j["codeTo"] = r.codeTo;
  j["entryStatus"] = Json(r.entryStatus);
  j["notifyStatus"] = Json(r.notifyStatus);
  j["hung"] = r.hung;
  j["stopReason"] = r.stopReason;
  j["fault"] = r.fault;
  j["enginesAgree"] = !r.difference.has_value();
  j["difference"] = r.difference ? nlohmann::ordered_json(*r.difference) : nullptr;
  j["traceLines"] = r.traceLines;
  j["stack"] = {{"highWater", r.stackHighWater},
                {"entry", r.entryStack},
                {"callback", r.callbackStack},
                {"foundationFrame", kCallbackFrameBytes},
                {"goal", kStackGoal},
                {"met", r.stackHighWater <= kStackGoal}};
  j["instructions"] = {{"total", r.instructions},
                       {"entry", r.entryInstructions},
                       {"callback", r.callbackInstructions},
                       {"pauses", r.pauses}};
  const StepFigures& s = r.steps;
  nlohmann::ordered_json steps = {{"steps", s.steps},
                                  {"instructions", Json(s.instructions)},
                                  {"timeNs", Json(s.time)},
                                  {"smbus", Json(s.smbus)},
                                  {"superIo", Json(s.superIo)},
                                  {"post", Json(s.post)},
                                  {"timerReads", Json(s.timerReads)}};
  if (s.instructionsNoWait && s.timerReadsNoWait) {
    steps["noWait"] = {{"instructions", Json(*s.instructionsNoWait)},
                       {"timerReads", Json(*s.timerReadsNoWait)}};
  }
  steps["instructionsPerPoll"] =
      s.instructionsPerPoll ? nlohmann::ordered_json(*s.instructionsPerPoll) : nullptr;
  j["steps"] = steps;

  const AccessCounts& a = r.accesses;
  nlohmann::ordered_json io = nlohmann::ordered_json::object();
  for (const auto& [port, n] : a.io) {
    io[fmt::format("0x{:02X}", port)] = {{"in", n.in}, {"out", n.out}};
  }
  j["accesses"] = {{"smbus", a.smbus},  {"smbusFailed", a.smbusFailed},
                   {"io", io},          {"mmio", {{"read", a.mmioReads}, {"write", a.mmioWrites}}},
                   {"pei", a.pei},      {"sidt", a.sidt},
                   {"pauses", a.pauses}};
  const TimeSplit& t = r.time;
  j["timeNs"] = {{"total", t.total},   {"smbus", t.smbus},     {"delays", t.delays},
                 {"other", t.Other()}, {"superIo", t.superIo}, {"post", t.post},
                 {"mmio", t.mmio},     {"otherIo", t.otherIo}};
  return j;
}

}  // namespace

board::BoardConfig WorstCaseConfig() {
  board::BoardConfig config;
  config.clockGenerator = board::MakeClockGeneratorRegisters(kWorstCaseFrom);
  config.setup = board::MakeSetup(kWorstCaseTo, board::setup::kLevelAutomatic, kWorstCaseDelayUs);
  return config;
}

Distribution Distribute(std::vector<uint64_t> values) {
  Distribution d;
  d.count = values.size();
  if (values.empty()) {
    return d;
  }
  std::sort(values.begin(), values.end());
  d.min = values.front();
  d.max = values.back();
  d.median = values[(values.size() - 1) / 2];
  return d;
}

uint32_t AccessCounts::SmbusTotal() const {
  uint32_t n = 0;
  for (const auto& [op, count] : smbus) {
    n += count;
  }
  return n;
}

uint32_t AccessCounts::IoTotal() const {
  uint32_t n = 0;
  for (const auto& [port, count] : io) {
    n += count.in + count.out;
  }
  return n;
}

uint32_t AccessCounts::PeiTotal() const {
  uint32_t n = 0;
  for (const auto& [call, count] : pei) {
    n += count;
  }
  return n;
}

void FigureSink::OnEvent(const Event& e) {
  // The span since the previous line belongs to that line's part.
  if (lines_ == 0) {
    firstT_ = e.t;
  } else {
    const uint64_t d = e.t - lastT_;
    switch (lastPart_) {
      case Part::Smbus:
        time_.smbus += d;
        break;
      case Part::Delays:
        time_.delays += d;
        break;
      case Part::SuperIo:
        time_.superIo += d;
        break;
      case Part::Post:
        time_.post += d;
        break;
      case Part::Mmio:
        time_.mmio += d;
        break;
      case Part::OtherIo:
        // Any other port. Calls, returns, PEI services and processor lines
        // cost nothing, but a span is counted here all the same so that the
        // parts add up to the total.
        time_.otherIo += d;
        break;
    }
  }
  ++lines_;
  lastT_ = e.t;
  time_.total = e.t - firstT_;

  if (e.kind == EventKind::Smbus) {
    lastPart_ = Part::Smbus;
  } else if (e.kind == EventKind::Mmio) {
    lastPart_ = Part::Mmio;
  } else if (IsIo(e, kTimerPort)) {
    lastPart_ = Part::Delays;
  } else if (IsSuperIo(e)) {
    lastPart_ = Part::SuperIo;
  } else if (IsIo(e, kPostPort)) {
    lastPart_ = Part::Post;
  } else {
    lastPart_ = Part::OtherIo;
  }

  switch (e.kind) {
    case EventKind::Smbus:
      ++accesses_.smbus[board::SmbusOperationName(e.op)];
      accesses_.smbusFailed += (e.status & 0x80000000U) != 0 ? 1 : 0;
      break;
    case EventKind::Io: {
      PortCount& port = accesses_.io[static_cast<uint16_t>(e.address)];
      ++(e.op == static_cast<uint8_t>(board::IoOp::In) ? port.in : port.out);
      break;
    }
    case EventKind::Mmio:
      ++(e.op == static_cast<uint8_t>(board::MmioOp::Read) ? accesses_.mmioReads
                                                           : accesses_.mmioWrites);
      break;
    case EventKind::Pei:
    case EventKind::Pcd:
      ++accesses_.pei[PeiCallName(e)];
      break;
    case EventKind::Cpu:
      ++(e.op == static_cast<uint8_t>(board::CpuOp::Sidt) ? accesses_.sidt : accesses_.pauses);
      break;
    default:
      break;
  }

  if (IsStepBegin(e)) {
    ++steps_;
    if (open_) {
      open_->time = e.t - openedAt_;
      intervals_.push_back(*open_);
    }
    open_ = StepInterval{};
    openedAt_ = e.t;
  }
  if (!open_) {
    return;
  }
  if (e.kind == EventKind::Smbus) {
    ++open_->smbus;
  } else if (IsSuperIo(e)) {
    ++open_->superIo;
  } else if (IsIo(e, kPostPort)) {
    ++open_->post;
  } else if (IsIo(e, kTimerPort)) {
    ++open_->timerReads;
  } else if (e.kind == EventKind::Io || e.kind == EventKind::Mmio || e.kind == EventKind::Pei ||
             e.kind == EventKind::Pcd) {
    ++open_->other;
  }
}

std::string DefaultImagePath() { return emu::DefaultImagePath(); }
std::string DefaultFfsPath() { return CLOCKRAMP_REPORT_FFS_PATH; }

RunFigures MeasureRun(const std::string& name, const board::BoardConfig& config,
                      const ReportOptions& options) {
  emu::EmuOptions emuOptions = EmuOptionsFor(options);
  RunFigures r;
  r.name = name;
  r.codeFrom = CodeOf(config.clockGenerator);
  std::optional<uint8_t> low = ByteAt(config.setup, board::setup::kRampTargetCodeOffset);
  std::optional<uint8_t> high = ByteAt(config.setup, board::setup::kRampTargetCodeOffset + 1);
  if (low && high) {
    r.target = static_cast<uint16_t>(*low | (*high << 8));
  }
  r.levelSelect = ByteAt(config.setup, board::setup::kRampLevelSelectOffset);
  r.stepDelayUs = ByteAt(config.setup, board::setup::kRampStepDelayOffset);

  // The native run keeps its trace but for the processor lines; the
  // emulated run's events are compared with it and counted as they happen.
  NativeKeeper kept;
  board::RunResult native = board::RunNative(config, &kept);
  FigureSink figures;
  emu::StreamedComparison compared =
      emu::CheckAgainst(native, kept.Events(), config, emuOptions, &figures);
  r.difference = std::move(compared.difference);
  const emu::EmuResult& ia32 = compared.ia32;

  r.codeTo = ia32.board->ClockGen().Code();
  r.entryStatus = ia32.entryStatus;
  r.notifyStatus = ia32.notifyStatus;
  r.hung = ia32.hung;
  r.stopReason = ia32.board->StopReason();
  r.fault = ia32.fault ? ia32.fault->what : std::string();
  r.traceLines = figures.Lines();

  const emu::EmuFigures& f = ia32.figures;
  r.stackHighWater = f.stack_high_water;
  r.entryStack = f.entry_stack;
  r.callbackStack = f.callback_stack;
  r.instructions = f.instructions;
  r.entryInstructions = f.entry_instructions;
  r.callbackInstructions = f.callback_instructions;
  r.pauses = f.pauses;

  // The IA-32 engine records no processor lines; the native run has them.
  r.accesses = figures.Accesses();
  r.accesses.sidt = kept.sidt;
  r.accesses.pauses = kept.pauses;
  r.time = figures.Time();
  MeasureSteps(r, figures, f.step_instructions);
  MeasureNoWait(r, config, emuOptions);
  return r;
}

Report BuildReport(const std::string& name, const board::BoardConfig& config,
                   const ReportOptions& options) {
  Report report;
  report.imagePath = options.imagePath.empty() ? DefaultImagePath() : options.imagePath;
  report.ffsPath = options.ffsPath.empty() ? DefaultFfsPath() : options.ffsPath;
  try {
    report.image = image::ReadImageFigures(report.imagePath, report.ffsPath, options.mapPath);
  } catch (const std::exception& error) {
    report.imageError = error.what();
  }
  ReportOptions runOptions = options;
  runOptions.imagePath = report.imagePath;
  report.scenario = MeasureRun(name, config, runOptions);
  if (options.worstCase) {
    report.worstCase = MeasureRun(
        fmt::format("worst case: full ramp {} -> {}, automatic levels, {} µs settle delay",
                    kWorstCaseFrom, kWorstCaseTo, kWorstCaseDelayUs),
        WorstCaseConfig(), runOptions);
  }
  return report;
}

void PrintReport(std::ostream& out, const Report& report) {
  out << "ClockRamp.efi: " << report.imagePath << "\n";
  if (report.image) {
    const image::ImageFigures& i = *report.image;
    out << fmt::format("  {:<18}{:>7} bytes  {}\n", "PE32 image", Count(i.image_bytes),
                       Goal(i.image_bytes, image::kImageSizeGoal));
    out << fmt::format("    {:<16}{:>7}\n", "headers", Count(i.header_bytes));
    if (i.without_map.empty()) {
      out << fmt::format("    {:<16}{:>7}\n", "code", Count(i.code_bytes));
      out << fmt::format("    {:<16}{:>7}\n", "read-only data", Count(i.rodata_bytes));
    } else {
      out << "    code and read-only data left out: " << i.without_map << "\n";
    }
    out << fmt::format("    {:<16}{:>7}  ({} relocations)\n", "relocation table",
                       Count(i.relocation_bytes), i.relocations);
    out << fmt::format("  {:<18}{:>7} bytes  ({})\n", "firmware file", Count(i.firmware_file_bytes),
                       report.ffsPath);
    out << fmt::format("  {:<18}{:>7} bytes\n", "TE form", Count(i.te_image_bytes));
  } else {
    out << "  size figures unavailable: " << report.imageError << "\n";
  }
  PrintRun(out, report.scenario);
  if (report.worstCase) {
    PrintRun(out, *report.worstCase);
  }
}

nlohmann::ordered_json ReportJson(const Report& report) {
  nlohmann::ordered_json j;
  j["imagePath"] = report.imagePath;
  j["ffsPath"] = report.ffsPath;
  if (report.image) {
    const image::ImageFigures& i = *report.image;
    j["image"] = {{"imageBytes", i.image_bytes},
                  {"headerBytes", i.header_bytes},
                  {"codeBytes", i.without_map.empty() ? nlohmann::ordered_json(i.code_bytes)
                                                      : nlohmann::ordered_json(nullptr)},
                  {"rodataBytes", i.without_map.empty() ? nlohmann::ordered_json(i.rodata_bytes)
                                                        : nlohmann::ordered_json(nullptr)},
                  {"relocationBytes", i.relocation_bytes},
                  {"relocations", i.relocations},
                  {"firmwareFileBytes", i.firmware_file_bytes},
                  {"teImageBytes", i.te_image_bytes},
                  {"goal", image::kImageSizeGoal},
                  {"met", i.image_bytes <= image::kImageSizeGoal}};
    if (!i.without_map.empty()) {
      j["image"]["leftOut"] = i.without_map;
    }
  } else {
    j["image"] = nullptr;
    j["imageError"] = report.imageError;
  }
  j["scenario"] = Json(report.scenario);
  j["worstCase"] = report.worstCase ? Json(*report.worstCase) : nullptr;
  return j;
}

}  // namespace clockramp::report
