// `clockramp report [SCENARIO] [--json]`: the report of tools/report/Report.h
// for a scenario file (or the built-in default board) and the worst case.
#ifndef CLOCKRAMP_TOOLS_REPORT_REPORTCOMMAND_H_
#define CLOCKRAMP_TOOLS_REPORT_REPORTCOMMAND_H_

#include <ostream>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace clockramp::report {

struct ReportCommandOptions {
  std::string scenario;  // scenario file; the default board when empty
  std::string efi;       // image; this build's when empty
  std::string ffs;       // firmware file; this build's when empty
  std::string map;       // linker map; the image path with .map when empty
  bool json = false;
  bool worstCase = true;
};

// Adds the "report" subcommand to the command line, filling `options`.
CLI::App* AddReportCommand(CLI::App& app, ReportCommandOptions& options);

// Prints the report. Exit status 0 when it was printed, 2 for a bad scenario
// or an image that cannot be run (the message goes to `err`).
int RunReportCommand(const ReportCommandOptions& options, std::ostream& out, std::ostream& err);

}  // namespace clockramp::report

#endif  // CLOCKRAMP_TOOLS_REPORT_REPORTCOMMAND_H_
