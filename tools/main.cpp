// clockramp: runs the ClockRamp PEI module on a simulated board described by
// a scenario file and reports what it did.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/CompareCapture.h"
#include "tools/Engine.h"
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

CLI::App* AddRun(CLI::App& app, RunOptions& options, std::string& scenario) {
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the module on a board: the built-in default board, or the one a scenario file "
      "describes. Prints a summary; exit status 0 when the run completed, 2 for a bad command "
      "line or scenario, 3 when the run was stopped as a hang.");
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
  return run;
}

void AddSetup(CLI::App& app, SetupOptions& options, std::string& input) {
  CLI::App* setup = app.add_subcommand(
      "setup",
      "Make a \"Setup\" variable file to write back through efivarfs: start from INPUT (a "
      "file read from /sys/firmware/efi/efivars on the board) or the default board's "
      "variable, set the ramp's fields, keep every other byte and the attributes. Exit status "
      "2 for a bad option or file.");
  setup->add_option("input", input, "efivarfs file of \"Setup\" (4 bytes of attributes, data)")
      ->type_name("FILE");
  setup->add_option("-o,--out", options.output, "The file to write")->type_name("FILE")->required();
  setup->add_option("--target", options.target, "RampTargetCode: the frequency code, 0-2047")
      ->type_name("CODE");
  setup
      ->add_option("--level", options.level,
                   "RampLevelSelect: a fixed level 0-3 (or any byte), or \"auto\"")
      ->type_name("LEVEL");
  setup->add_option("--delay", options.delay, "RampStepDelay: µs after each step, 0-255")
      ->type_name("US");
}

void AddCompareCapture(CLI::App& app, CompareOptions& options, std::string& scenario) {
  CLI::App* compare = app.add_subcommand(
      "compare-capture",
      "Compare the SMBus transactions of a logic-analyzer capture, as `sigrok-cli -i CAPTURE -P "
      "i2c -A i2c` prints them, with those the module makes on a board (the default one, or "
      "SCENARIO's). Prints the first difference with the transactions around it; exit status "
      "0 when all match, 1 at a difference, 2 for a file that cannot be read.");
  compare->add_option("capture", options.capture, "The decoder's output, saved to a file")
      ->type_name("CAPTURE")
      ->required();
  compare->add_option("scenario", scenario, "Scenario file (JSON, see docs/scenarios.md)");
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
    std::cerr << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }
  return kExitRan;
}
#endif

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{"clockramp: runs the ClockRamp PEI module on a simulated board"};
  app.require_subcommand(1);
  RunOptions runOptions;
  std::string scenario;
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
  SetupOptions setupOptions;
  std::string setupInput;
  AddSetup(app, setupOptions, setupInput);
  CompareOptions compareOptions;
  std::string compareScenario;
  AddCompareCapture(app, compareOptions, compareScenario);
#ifdef CLOCKRAMP_HAVE_QEMU
  run->add_option("--qemu-dir", qemuOptions->workDir,
                  "With --engine qemu: keep QEMU's trace, the helpers' log and the scenario in "
                  "this folder");
  run->add_flag("--before-memory", qemuOptions->beforeMemory,
                "With --engine qemu: dispatch the module before memory, in place, through the "
                "PEI apriori file");
  run->add_option("--firmware", qemuOptions->firmware,
                  "With --engine qemu: boot this firmware as it is, one built with the module "
                  "and the helper PEIMs in it (its OVMF_VARS.fd beside it)");
#endif
#ifdef CLOCKRAMP_HAVE_IA32
  run->add_option("--image", *imagePath,
                  "The IA-32 image for --engine ia32 or qemu (default: the one this build made)");
  run->add_flag("--at-image-base", *atImageBase,
                "With --engine ia32: run the image at its own ImageBase with no relocation "
                "applied, as a rebased image executes in place");
  CheckOptions checkOptions;
  AddCheckCommand(app, checkOptions);
#else
  (void)run;
#endif
#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
  ImageOptions imageOptions;
  AddImage(app, imageOptions);
#endif
#ifdef CLOCKRAMP_HAVE_REPORT
  clockramp::report::ReportCommandOptions reportOptions;
  clockramp::report::AddReportCommand(app, reportOptions);
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitRan : kExitInvalid;
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
  if (!scenario.empty()) {
    runOptions.scenario = scenario;
  }
  return RunCommand(runOptions, std::cout, std::cerr);
} catch (const std::exception& e) {
  std::cerr << "clockramp: " << e.what() << "\n";
  return 1;
} catch (...) {
  std::cerr << "clockramp: unexpected failure\n";
  return 1;
}
