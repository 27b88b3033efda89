#include "tools/report/ReportCommand.h"

#include <exception>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/Scenario.h"
#include "tools/report/Report.h"

namespace clockramp::report {

namespace {
constexpr int kExitPrinted = 0;
constexpr int kExitInvalid = 2;
}  // namespace

CLI::App* AddReportCommand(CLI::App& app, ReportCommandOptions& options) {
  CLI::App* report = app.add_subcommand(
      "report",
      "Print the module's costs: flash (image and firmware file sizes), stack high-water, "
      "instructions (entry, callback, per ramp step) and boot time in virtual time with every "
      "access counted, for a scenario (default: the default board) and for the worst case, a "
      "full ramp from 0 to 2047 with 255 µs settle delays. Measured on the IA-32 image under "
      "emulation and checked against the native run.");
  report->add_option("scenario", options.scenario, "Scenario file (JSON, see docs/scenarios.md)");
  report->add_flag("--json", options.json, "Print the figures as one JSON document");
  report->add_option("--efi", options.efi, "The image (default: this build's ClockRamp.efi)");
  report->add_option("--ffs", options.ffs, "The PEIM firmware file (default: this build's)");
  report->add_option("--map", options.map, "The linker map (default: the image's .map)");
  report->add_flag_callback(
      "--no-worst-case", [&options] { options.worstCase = false; }, "Leave out the worst case");
  return report;
}

int RunReportCommand(const ReportCommandOptions& options, std::ostream& out, std::ostream& err) {
  tool::Scenario scenario = tool::DefaultScenario();
  try {
    if (!options.scenario.empty()) {
      scenario = tool::LoadScenario(options.scenario);
    }
  } catch (const std::exception& error) {
    err << "clockramp: " << error.what() << "\n";
    return kExitInvalid;
  }
  ReportOptions reportOptions;
  reportOptions.imagePath = options.efi;
  reportOptions.ffsPath = options.ffs;
  reportOptions.mapPath = options.map;
  reportOptions.worstCase = options.worstCase;
  Report report;
  try {
    report = BuildReport(scenario.source, scenario.config, reportOptions);
  } catch (const std::exception& error) {
    err << "clockramp: " << error.what() << "\n";
    return kExitInvalid;
  }
  if (options.json) {
    out << ReportJson(report).dump(2) << "\n";
  } else {
    PrintReport(out, report);
  }
  return kExitPrinted;
}

}  // namespace clockramp::report
