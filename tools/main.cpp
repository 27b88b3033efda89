// clockramp: runs the ClockRamp PEI module on a simulated board described by
// a scenario file and reports what it did.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <CLI/CLI.hpp>

#include "image/Printable.h"
#include "tools/CliNumbers.h"
#include "tools/CompareCapture.h"
#include "tools/Engine.h"
#include "tools/ExitStatus.h"
#include "tools/RunCommand.h"
#include "tools/SetupCommand.h"

#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
#include "BuildPaths.h"  // CLOCKRAMP_IMAGE_PATH, CLOCKRAMP_FFS_PATH
#include "image/ImageReport.h"
#endif
#ifdef CLOCKRAMP_HAVE_REPORT
#include "tools/report/ReportCommand.h"
#endif
#ifdef CLOCKRAMP_HAVE_IA32
#include "tools/Ia32Command.h"
#endif
#ifdef CLOCKRAMP_HAVE_QEMU
#include "tools/QemuCommand.h"
#endif

namespace {

using namespace clockramp::tool;

// The most real time a run may be given: a day.
constexpr uint64_t kMaxTimeLimitSeconds = 86'400;

// --time-limit SECONDS, into a limit in milliseconds.
void AddTimeLimit(CLI::App& command, uint64_t& limitMs) {
  command
      .add_option_function<uint64_t>(
          "--time-limit", [&limitMs](uint64_t seconds) { limitMs = seconds * 1000; },
          fmt::format("Stop the module's run as a hang (exit status 3) after this much real "
                      "time, on any engine (default {} s)",
                      board::BoardConfig{}.wallClockLimitMs / 1000))
      ->type_name("SECONDS")
      ->transform(DecimalRange(1, kMaxTimeLimitSeconds));
}

CLI::App* AddRun(CLI::App& app, RunOptions& options, std::string& scenario) {
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the module on a board: the built-in default board, or the one a scenario file "
      "describes. Prints a summary. The outputs are written whole once the run completed "
      "(whatever the module returned, and after a hang), or not at all.");
  run->add_option("scenario", scenario, "Scenario file (JSON, see docs/scenarios.md)");
  run->add_option("--trace", options.tracePath,
                  "Write the trace to FILE, one JSON object a line (docs/board.md)")
      ->type_name("FILE.jsonl");
  run->add_flag("--trace-waits", options.traceWaits,
                "Write each ACPI timer wait as one \"wait\" line and leave out PAUSE lines "
                "(default: every access, docs/board.md)");
  run->add_option("--vcd", options.vcdPath, "Write the timeline to FILE as a Value Change Dump")
      ->type_name("FILE.vcd");
  run->add_option("--sigrok-vcd", options.sigrokVcdPath,
                  "Write the timeline's one-bit signals (the SMBus lines among them) to FILE, "
                  "for sigrok-cli and PulseView with libsigrok 0.5, which stop at a multi-bit "
                  "value: sigrok-cli -I vcd -i FILE -P i2c:scl=smbus_scl:sda=smbus_sda")
      ->type_name("FILE.vcd");
  run->add_option("--clockgen-out", options.clockGenOutPath,
                  "Write the clock generator's registers at the end of the run to FILE in "
                  "i2cdump's byte-mode layout, to diff against a dump taken on the board")
      ->type_name("FILE");
  run->add_flag("-v,--verbose", options.verbose,
                "Print the decoded trace, one line per meaningful access, before the summary");
  std::vector<std::string> engines;
  std::string help = "Engine to run the module on:";
  for (const Engine& engine : Engines()) {
    engines.push_back(engine.name);
    help += "\n  " + engine.name + ": " + engine.description;
  }
  run->add_option("--engine", options.engine, help)
      ->check(CLI::IsMember(engines))
      ->capture_default_str();
  AddTimeLimit(*run, options.wallClockLimitMs);
  return run;
}

void AddSetup(CLI::App& app, SetupOptions& options, std::string& input) {
  CLI::App* setup = app.add_subcommand(
      "setup",
      "Make a \"Setup\" variable file to write back through efivarfs: start from INPUT (a "
      "file read from /sys/firmware/efi/efivars on the board) or the default board's "
      "variable, set the ramp's fields, keep every other byte and the attributes. Warns when "
      "the variable is larger than the module's 219-byte buffer.");
  setup->add_option("input", input, "efivarfs file of \"Setup\" (4 bytes of attributes, data)")
      ->type_name("FILE");
  setup->add_option("-o,--out", options.output, "The file to write")->type_name("FILE")->required();
  setup->add_option("--target", options.target, "RampTargetCode: the frequency code, 0-2047")
      ->type_name("CODE")
      ->transform(DecimalRange(0, 2047));
  setup
      ->add_option("--level", options.level,
                   "RampLevelSelect: a fixed level 0-3 (or any byte), or \"auto\"")
      ->type_name("LEVEL");
  setup->add_option("--delay", options.delay, "RampStepDelay: µs after each step, 0-255")
      ->type_name("US")
      ->transform(DecimalRange(0, 255));
}

void AddCompareCapture(CLI::App& app, CompareOptions& options, std::string& scenario) {
  CLI::App* compare = app.add_subcommand(
      "compare-capture",
      "Compare the SMBus transactions of a logic-analyzer capture, as `sigrok-cli -i CAPTURE -P "
      "i2c -A i2c` prints them, with those the module makes on a board (the default one, or "
      "SCENARIO's). Prints the first difference with the transactions around it; exit status "
      "0 when all match, 1 at a difference, 2 for a file that cannot be read, 3 when all "
      "match but the module's run hung.");
  compare->add_option("capture", options.capture, "The decoder's output, saved to a file")
      ->type_name("CAPTURE")
      ->required();
  compare->add_option("scenario", scenario, "Scenario file (JSON, see docs/scenarios.md)");
  AddTimeLimit(*compare, options.wallClockLimitMs);
}

#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
struct ImageOptions {
  std::string efi = CLOCKRAMP_IMAGE_PATH;
  std::string ffs = CLOCKRAMP_FFS_PATH;
  std::string map;
};

void AddImage(CLI::App& app, ImageOptions& options) {
  CLI::App* image = app.add_subcommand(
      "image", "Print the size figures of the IA-32 image ClockRamp.efi and its firmware file");
  image->add_option("--efi", options.efi, "The image")->capture_default_str();
  image->add_option("--ffs", options.ffs, "The PEIM firmware file")->capture_default_str();
  image->add_option("--map", options.map, "The linker map (default: the image's .map)");
}

int RunImage(const ImageOptions& options) {
  try {
    clockramp::image::PrintImageFigures(
        std::cout, clockramp::image::ReadImageFigures(options.efi, options.ffs, options.map));
  } catch (const std::exception& e) {
    std::cerr << "clockramp: " << clockramp::files::Printable(e.what(), 1000) << "\n";
    return kExitInvalid;
  }
  return kExitSuccess;
}
#endif

// An option that only some engines read.
struct EngineOption {
  const CLI::Option* option;
  std::vector<std::string> engines;
};

// A message when an option is given that the chosen engine does not read,
// else empty.
std::string CheckEngineOptions(const std::vector<EngineOption>& options,
                               const std::string& engine) {
  for (const EngineOption& o : options) {
    if (o.option->count() > 0 && std::ranges::find(o.engines, engine) == o.engines.end()) {
      return fmt::format("run: {} applies only to --engine {}, not to --engine {}",
                         o.option->get_name(), fmt::join(o.engines, " or "),
                         clockramp::files::Printable(engine));
    }
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{"clockramp: runs the ClockRamp PEI module on a simulated board"};
  app.require_subcommand(1);
  // One line for a bad command line, as for every other refusal.
  app.failure_message([](const CLI::App* /*app*/, const CLI::Error& e) {
    return fmt::format("clockramp: {} (see --help)\n", clockramp::files::Printable(e.what(), 1000));
  });
  RunOptions runOptions;
  std::string scenario;
  std::vector<EngineOption> engineOptions;
#ifdef CLOCKRAMP_HAVE_IA32
  // --image is read when an ia32 run starts, after the command line is parsed.
  auto imagePath = std::make_shared<std::string>();
  auto atImageBase = std::make_shared<bool>(false);
  RegisterIa32Engine(imagePath, atImageBase);
#endif
#ifdef CLOCKRAMP_HAVE_QEMU
  // Read when a qemu run starts; --image is shared with the ia32 engine.
  auto qemuOptions = std::make_shared<QemuEngineOptions>();
  RegisterQemuEngine(qemuOptions);
#endif
  CLI::App* run = AddRun(app, runOptions, scenario);
  (void)run;  // engine options are added to it only when an engine that reads them is built
  SetupOptions setupOptions;
  std::string setupInput;
  AddSetup(app, setupOptions, setupInput);
  CompareOptions compareOptions;
  std::string compareScenario;
  AddCompareCapture(app, compareOptions, compareScenario);
#ifdef CLOCKRAMP_HAVE_QEMU
  engineOptions.push_back(
      {run->add_option("--qemu-dir", qemuOptions->workDir,
                       "With --engine qemu: keep QEMU's trace, the helpers' log and the scenario "
                       "in this folder"),
       {"qemu"}});
  engineOptions.push_back(
      {run->add_flag("--before-memory", qemuOptions->beforeMemory,
                     "With --engine qemu: dispatch the module before memory, in place, through "
                     "the PEI apriori file"),
       {"qemu"}});
  engineOptions.push_back(
      {run->add_option("--firmware", qemuOptions->firmware,
                       "With --engine qemu: boot this firmware as it is, one built with the module "
                       "and the helper PEIMs in it (its OVMF_VARS.fd beside it)"),
       {"qemu"}});
#endif
#ifdef CLOCKRAMP_HAVE_IA32
  engineOptions.push_back(
      {run->add_option("--image", *imagePath,
                       "With --engine ia32 or qemu: the IA-32 image (default: the one this build "
                       "made)"),
       {"ia32", "qemu"}});
  engineOptions.push_back(
      {run->add_flag("--at-image-base", *atImageBase,
                     "With --engine ia32: run the image at its own ImageBase with no relocation "
                     "applied, as a rebased image executes in place"),
       {"ia32"}});
  CheckOptions checkOptions;
  AddTimeLimit(*AddCheckCommand(app, checkOptions), checkOptions.wallClockLimitMs);
#endif
#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
  ImageOptions imageOptions;
  AddImage(app, imageOptions);
#endif
#ifdef CLOCKRAMP_HAVE_REPORT
  clockramp::report::ReportCommandOptions reportOptions;
  clockramp::report::AddReportCommand(app, reportOptions);
#endif
  // Every command's --help ends with the one table of exit statuses.
  app.footer(kExitStatusHelp);
  for (CLI::App* command : app.get_subcommands([](CLI::App* /*command*/) { return true; })) {
    command->footer(kExitStatusHelp);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitSuccess : kExitInvalid;
  }
#if defined(CLOCKRAMP_HAVE_QEMU) && defined(CLOCKRAMP_HAVE_IA32)
  qemuOptions->image = *imagePath;
  if (!qemuOptions->firmware.empty() &&
      (!qemuOptions->image.empty() || qemuOptions->beforeMemory)) {
    std::cerr << "clockramp: --firmware runs a firmware as it was built, with its own module and "
                 "dispatch; --image and --before-memory apply to the firmware clockramp prepares\n";
    return kExitInvalid;
  }
#endif
#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
  if (app.got_subcommand("image")) {
    return RunImage(imageOptions);
  }
#endif
#ifdef CLOCKRAMP_HAVE_REPORT
  if (app.got_subcommand("report")) {
    return clockramp::report::RunReportCommand(reportOptions, std::cout, std::cerr);
  }
#endif
#ifdef CLOCKRAMP_HAVE_IA32
  if (app.got_subcommand("check")) {
    checkOptions.progress = isatty(STDERR_FILENO) != 0;
    return RunCheck(checkOptions, std::cout, std::cerr);
  }
#endif
  if (app.got_subcommand("compare-capture")) {
    if (!compareScenario.empty()) {
      compareOptions.scenario = compareScenario;
    }
    return RunCompareCapture(compareOptions, std::cout, std::cerr);
  }
  if (app.got_subcommand("setup")) {
    if (!setupInput.empty()) {
      setupOptions.input = setupInput;
    }
    return RunSetupCommand(setupOptions, std::cout, std::cerr);
  }
  if (std::string wrong = CheckEngineOptions(engineOptions, runOptions.engine); !wrong.empty()) {
    std::cerr << "clockramp: " << wrong << "\n";
    return kExitInvalid;
  }
  if (!scenario.empty()) {
    runOptions.scenario = scenario;
  }
#ifdef CLOCKRAMP_HAVE_IA32
  if (!imagePath->empty()) {
    runOptions.inputs.push_back(*imagePath);
  }
#endif
  return RunCommand(runOptions, std::cout, std::cerr);
} catch (const std::exception& e) {
  // Nothing was written: every output goes through an OutputSet, which
  // removes its temporaries as the stack unwinds.
  std::cerr << "clockramp: " << clockramp::files::Printable(e.what(), 1000) << "\n";
  return kExitInvalid;
} catch (...) {
  std::cerr << "clockramp: unexpected failure; nothing written\n";
  return kExitInvalid;
}
