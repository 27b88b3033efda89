#include "tools/Ia32Command.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "emu/Differential.h"
#include "emu/Ia32Engine.h"
#include "image/Printable.h"
#include "tools/CliNumbers.h"
#include "tools/Engine.h"
#include "tools/Scenario.h"

namespace clockramp::tool {
namespace {

emu::EmuOptions OptionsFor(const std::string& imagePath) {
  emu::EmuOptions options;
  options.image_path = imagePath.empty() ? emu::DefaultImagePath() : imagePath;
  return options;
}

// Summary lines of the IA-32 run's own figures.
std::vector<std::string> Notes(const emu::EmuOutcome& outcome) {
  const emu::EmuFigures& f = outcome.figures;
  std::vector<std::string> notes;
  notes.push_back(fmt::format("image loaded at 0x{:08X}", f.load_address));
  std::string steps;
  if (!f.step_instructions.empty()) {
    auto [min, max] = std::minmax_element(f.step_instructions.begin(), f.step_instructions.end());
    steps = fmt::format(", per ramp step {}–{}", *min, *max);
  }
  notes.push_back(fmt::format("instructions {} (entry {}, callback {}{})", f.instructions,
                              f.entry_instructions, f.callback_instructions, steps));
  notes.push_back(fmt::format("stack high-water {} bytes", f.stack_high_water));
  if (outcome.fault) {
    notes.push_back("fault: " + outcome.fault->what);
  }
  return notes;
}

}  // namespace

void RegisterIa32Engine(const std::shared_ptr<const std::string>& imagePath,
                        const std::shared_ptr<const bool>& atImageBase) {
  RegisterEngine(Engine{
      "ia32",
      "the IA-32 image ClockRamp.efi, instruction by instruction under Unicorn (see --image)",
      [imagePath, atImageBase](const board::BoardConfig& config, board::EventSink* sink) {
        emu::EmuOptions options = OptionsFor(*imagePath);
        options.at_image_base = atImageBase && *atImageBase;
        options.time_limit_ms = config.wallClockLimitMs;
        emu::EmuResult result = emu::RunIa32(config, options, sink);
        EngineRun run;
        run.notes = Notes(result);
        run.outcome = static_cast<const board::RunOutcome&>(result);
        run.outcome.timedOut = result.timed_out;
        run.failed = result.fault.has_value();
        run.board = std::move(result.board);
        return run;
      },
      nullptr});
}

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Run each scenario on the native and the IA-32 engine and report the first difference "
      "between their traces and final states. Exit status 0 when they agree everywhere, 1 on "
      "any difference (a fault, or a run past the wall-clock limit on one engine, is one), 2 "
      "for a bad command line, scenario or image.");
  check->add_option("scenarios", options.scenarios, "Scenario files (default: the default board)");
  check
      ->add_option("--random", options.random,
                   fmt::format("Also check this many random boards (at most {})", kMaxRandomBoards))
      ->type_name("N")
      ->transform(DecimalRange(0, kMaxRandomBoards));
  check->add_option("--seed", options.seed, "Seed of the first random board")
      ->type_name("SEED")
      ->transform(DecimalRange(0, UINT64_MAX))
      ->capture_default_str();
  check->add_option("--image", options.image, "The IA-32 image (default: the one this build made)");
  return check;
}

int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<Scenario> scenarios;
  try {
    for (const std::string& path : options.scenarios) {
      scenarios.push_back(LoadScenario(path));
    }
  } catch (const ScenarioError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }
  if (scenarios.empty() && options.random == 0) {
    scenarios.push_back(DefaultScenario());
  }
  for (const Scenario& s : scenarios) {
    for (const std::string& warning : s.warnings) {
      err << fmt::format("clockramp: {}: warning: {}\n", files::Printable(s.source), warning);
    }
  }

  emu::EmuOptions emuOptions = OptionsFor(options.image);
  emuOptions.measure = false;
  emuOptions.time_limit_ms = options.wallClockLimitMs;
  try {
    emuOptions.image = emu::ReadImage(emuOptions.image_path);
  } catch (const std::exception& e) {
    err << "clockramp: " << files::Printable(e.what(), 1000) << "\n";
    return kExitInvalid;
  }

  const uint64_t total = scenarios.size() + options.random;
  uint64_t checked = 0;
  uint64_t different = 0;
  auto one = [&](const std::string& name, board::BoardConfig config, bool verbose) {
    config.wallClockLimitMs = options.wallClockLimitMs;
    const std::optional<std::string> difference = emu::CheckBoth(config, emuOptions);
    ++checked;
    if (difference || verbose) {
      if (options.progress) {
        err << "\r\033[K" << std::flush;  // the progress line gives way to the result
      }
      if (difference) {
        ++different;
        out << files::Printable(name, 1000) << ": DIFFERENT\n  " << *difference << "\n";
      } else {
        out << files::Printable(name, 1000) << ": same\n";
      }
      out << std::flush;
    }
    if (options.progress) {
      err << fmt::format("\rchecked {} of {} boards, {} different", checked, total, different)
          << std::flush;
    }
  };
  for (const Scenario& s : scenarios) {
    one(s.source, s.config, true);
  }
  for (uint64_t i = 0; i < options.random; ++i) {
    // The seeds wrap past 2^64 - 1, as any seed is as good as another.
    const uint64_t seed = options.seed + i;
    const board::BoardConfig config = emu::RandomConfig(seed);
    one(fmt::format("random board seed {} ({})", seed, emu::DescribeConfig(config)), config, false);
  }
  if (options.progress) {
    err << "\r\033[K" << std::flush;
  }
  out << fmt::format("{} boards checked, {} different\n", checked, different);
  return different == 0 ? kExitSuccess : kExitFailed;
}

}  // namespace clockramp::tool
