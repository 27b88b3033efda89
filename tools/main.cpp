// clockramp: runs the ClockRamp PEI module on a simulated board described by
// a scenario file and reports what it did.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/Engine.h"
#include "tools/RunCommand.h"

#ifdef CLOCKRAMP_HAVE_IMAGE_REPORT
#include "image/ImageReport.h"
#endif
#ifdef CLOCKRAMP_HAVE_REPORT
#include "tools/report/ReportCommand.h"
#endif
#ifdef CLOCKRAMP_HAVE_IA32
#include "tools/Ia32Command.h"
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
  CLI::App* run = AddRun(app, runOptions, scenario);
#ifdef CLOCKRAMP_HAVE_IA32
  run->add_option("--image", *imagePath,
                  "The IA-32 image for --engine ia32 (default: the one this build made)");
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
