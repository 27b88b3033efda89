#include "tools/Summary.h"

#include <array>
#include <utility>

#include <fmt/format.h>

#include "board/Status.h"
#include "image/Printable.h"
#include "tools/EfiStatus.h"

namespace clockramp::tool {
namespace {

constexpr std::array<uint8_t, 4> kLevelValues = {0xC0, 0xD5, 0xEA, 0xFF};

uint16_t CodeOf(const std::array<uint8_t, 256>& regs) {
  return static_cast<uint16_t>(regs[board::ClockGenerator::kCodeLowRegister] |
                               ((regs[board::ClockGenerator::kCodeHighRegister] & 0x07) << 8));
}

std::string Returned(const std::optional<uint32_t>& status, bool hung) {
  if (status) {
    return StatusName(*status);
  }
  // An engine that cannot see the status (a real PEI core) gives none without a hang.
  return hung ? "did not return (run stopped)" : "status not visible to this engine";
}

std::string Plural(uint64_t n, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

std::string CodeLine(const RunSummary& s) {
  std::string line;
  if (s.steps == 0) {
    line = fmt::format("{} → {}, no step", s.codeFrom, s.codeTo);
  } else {
    line = fmt::format("{} → {} in {}", s.codeFrom, s.codeTo, Plural(s.steps, "step", "steps"));
  }
  std::vector<std::string> notes;
  if (s.failedSteps != 0) {
    notes.push_back(fmt::format("{} failed", s.failedSteps));
  }
  if (s.target && *s.target != s.codeTo) {
    notes.push_back(fmt::format("target {}", *s.target));
  }
  if (!notes.empty()) {
    line += fmt::format(" ({})", fmt::join(notes, "; "));
  }
  return line;
}

std::string LevelLine(const RunSummary& s) {
  std::string mode;
  if (!s.levelSelect) {
    mode = "unknown (\"Setup\" does not reach RampLevelSelect)";
  } else if (*s.levelSelect == board::setup::kLevelAutomatic) {
    mode = "automatic";
  } else {
    mode = fmt::format("fixed (RampLevelSelect {})", *s.levelSelect);
  }
  if (s.levels.empty()) {
    return mode + ", none used";
  }
  std::vector<std::string> runs;
  for (const LevelRun& run : s.levels) {
    runs.push_back(fmt::format("{} ×{}", LevelName(run.value), run.steps));
  }
  return fmt::format("{}: {}", mode, fmt::join(runs, ", "));
}

std::string RegisterLine(const RunSummary& s) {
  if (s.registers.empty()) {
    return "unchanged";
  }
  std::vector<std::string> changes;
  for (const RegisterChange& c : s.registers) {
    changes.push_back(fmt::format("{}: 0x{:02X} → 0x{:02X}", c.reg, c.before, c.after));
  }
  return fmt::format("{}", fmt::join(changes, ", "));
}

}  // namespace

std::string LevelName(uint8_t value) {
  for (size_t level = 0; level < kLevelValues.size(); ++level) {
    if (kLevelValues[level] == value) {
      return fmt::format("level {}", level);
    }
  }
  return fmt::format("0x{:02X}", value);
}

std::string FormatPostCodes(std::span<const uint8_t> codes) {
  // Cut before every step's first code, then count equal neighbours.
  std::vector<std::vector<uint8_t>> chunks;
  for (uint8_t code : codes) {
    if (chunks.empty() || code == kPostStepBegin) {
      chunks.emplace_back();
    }
    chunks.back().push_back(code);
  }
  std::vector<std::string> groups;
  for (size_t i = 0; i < chunks.size();) {
    size_t j = i;
    while (j < chunks.size() && chunks[j] == chunks[i]) {
      ++j;
    }
    std::string text = fmt::format("{:02X}", fmt::join(chunks[i], " "));
    if (j - i > 1) {
      text = chunks[i].size() > 1 ? fmt::format("({}) ×{}", text, j - i)
                                  : fmt::format("{} ×{}", text, j - i);
    }
    groups.push_back(text);
    i = j;
  }
  return groups.empty() ? "none" : fmt::format("{}", fmt::join(groups, ", "));
}

std::string FormatDuration(uint64_t ns) {
  if (ns >= 1'000'000) {
    return fmt::format("{}.{:03} ms", ns / 1'000'000, ns / 1000 % 1000);
  }
  if (ns >= 1000) {
    return fmt::format("{}.{} µs", ns / 1000, ns / 100 % 10);
  }
  return fmt::format("{} ns", ns);
}

RunSummary Summarize(const Scenario& scenario, std::string_view engine, const EngineRun& run) {
  RunAnalysis analysis(scenario.config);
  for (const board::Event& e : run.board->Events()) {
    analysis.OnEvent(e);
  }
  analysis.Finish();
  return Summarize(scenario, engine, run, analysis);
}

RunSummary Summarize(const Scenario& scenario, std::string_view engine, const EngineRun& run,
                     const RunAnalysis& analysis) {
  const board::BoardConfig& config = scenario.config;
  RunSummary s;
  s.scenario = scenario.source;
  s.description = scenario.description;
  s.engine = std::string(engine);
  s.entryStatus = run.outcome.entryStatus;
  s.notifyStatus = run.outcome.notifyStatus;
  s.notifications = run.outcome.notifications;
  s.hung = run.outcome.hung;
  s.stopReason = run.board->StopReason();
  s.notes = run.notes;

  board::StateSnapshot state = analysis.FinalState().value_or(run.board->State());
  s.codeFrom = CodeOf(config.clockGenerator);
  s.codeTo = CodeOf(state.clockGenerator);
  if (config.setup && config.setup->size() > board::setup::kRampTargetCodeOffset + 1) {
    const auto& setup = *config.setup;
    s.target = static_cast<uint16_t>(setup[board::setup::kRampTargetCodeOffset] |
                                     (setup[board::setup::kRampTargetCodeOffset + 1] << 8));
  }
  if (config.setup && config.setup->size() > board::setup::kRampLevelSelectOffset) {
    s.levelSelect = (*config.setup)[board::setup::kRampLevelSelectOffset];
  }

  for (const RampStep& step : analysis.Steps()) {
    ++s.steps;
    s.failedSteps += step.failed ? 1 : 0;
    if (s.levels.empty() || s.levels.back().value != step.level) {
      s.levels.push_back({step.level, 0});
    }
    ++s.levels.back().steps;
  }
  s.post = state.post;
  s.guardArmed = state.guardArmed;
  for (size_t reg = 0; reg < state.clockGenerator.size(); ++reg) {
    if (state.clockGenerator[reg] != config.clockGenerator[reg]) {
      s.registers.push_back(
          {static_cast<uint8_t>(reg), config.clockGenerator[reg], state.clockGenerator[reg]});
    }
  }
  s.acpiBase = state.acpiBase;
  s.acpiDecoding = (state.acpiControl & board::PlatformController::kDecodeEnable) != 0;
  s.time = analysis.Time();
  return s;
}

void PrintSummary(std::ostream& out, const RunSummary& s) {
  auto line = [&](std::string_view label, const std::string& text) {
    out << fmt::format("  {:<11} {}\n", label, text);
  };
  // The file's name and its description are the file's text: shown as
  // text, but nothing in them may steer the terminal.
  out << fmt::format("{} ({} engine)\n", files::PrintableUtf8(s.scenario), s.engine);
  if (!s.description.empty()) {
    out << "  " << files::PrintableUtf8(s.description) << "\n";
  }
  line("entry", Returned(s.entryStatus, s.hung));
  line("callback", s.notifications == 0 ? "not delivered" : Returned(s.notifyStatus, s.hung));
  if (s.hung) {
    line("stopped", s.stopReason);
  }
  line("code", CodeLine(s));
  line("levels", LevelLine(s));
  line("POST", s.post.empty()
                   ? "none"
                   : fmt::format("{}: {}, last 0x{:02X}", Plural(s.post.size(), "code", "codes"),
                                 FormatPostCodes(s.post), s.post.back()));
  line("guard", s.guardArmed ? "left armed" : "disarmed");
  line("registers", RegisterLine(s));
  line("ACPI",
       fmt::format("base 0x{:04X}, decoding {}", s.acpiBase, s.acpiDecoding ? "on" : "off"));
  line("time", fmt::format("{}: SMBus {}, delays {} ({}), other {}", FormatDuration(s.time.total),
                           FormatDuration(s.time.smbus), FormatDuration(s.time.delays),
                           Plural(s.time.waits, "wait", "waits"), FormatDuration(s.time.other)));
  for (const std::string& note : s.notes) {
    line("", note);
  }
}

}  // namespace clockramp::tool
