// clockramp-bench: Google Benchmark's runner with two defaults of its own and
// a closing table.
//
// Unless the command line says otherwise, every benchmark runs 9 repetitions
// and the console shows only their aggregates (mean, median, stddev, cv).
// After the runs it prints, for every "emulated/X" benchmark with a
// "native/X" twin, the ratio of their median real times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kEmulated = "emulated/";
constexpr const char* kNative = "native/";

// The console reporter, keeping the median real time of every benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred) {
        medians_[run.run_name.str()] =
            Median{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), run.time_unit};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    bool header = false;
    for (const auto& [name, emulated] : medians_) {
      if (name.rfind(kEmulated, 0) != 0) {
        continue;
      }
      auto native = medians_.find(kNative + name.substr(std::strlen(kEmulated)));
      if (native == medians_.end()) {
        continue;
      }
      if (!header) {
        out << "\nemulated / native, medians (real time; CPU time of the running thread):\n";
        header = true;
      }
      const Median& n = native->second;
      char line[320];
      std::snprintf(line, sizeof line,
                    "  %-28s real %9.3f / %9.3f ms = %6.1f   CPU %9.3f / %9.3f ms = %6.1f\n",
                    name.substr(std::strlen(kEmulated)).c_str(),
                    Millis(emulated.real, emulated.unit), Millis(n.real, n.unit),
                    emulated.real / n.real * Scale(emulated.unit, n.unit),
                    Millis(emulated.cpu, emulated.unit), Millis(n.cpu, n.unit),
                    emulated.cpu / n.cpu * Scale(emulated.unit, n.unit));
      out << line;
    }
  }

 private:
  struct Median {
    double real = 0;
    double cpu = 0;
    benchmark::TimeUnit unit = benchmark::kNanosecond;
  };

  static double UnitSeconds(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1;
      case benchmark::kMillisecond:
        return 1e-3;
      case benchmark::kMicrosecond:
        return 1e-6;
      default:
        return 1e-9;
    }
  }
  static double Millis(double time, benchmark::TimeUnit unit) {
    return 1e3 * time * UnitSeconds(unit);
  }
  // Factor that brings a ratio of times in units a and b to a plain ratio.
  static double Scale(benchmark::TimeUnit a, benchmark::TimeUnit b) {
    return UnitSeconds(a) / UnitSeconds(b);
  }

  std::map<std::string, Median> medians_;
};

bool HasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=9";
  std::string aggregates = "--benchmark_display_aggregates_only=true";
  if (!HasFlag(argc, argv, "--benchmark_repetitions")) {
    args.push_back(repetitions.data());
  }
  if (!HasFlag(argc, argv, "--benchmark_display_aggregates_only") &&
      !HasFlag(argc, argv, "--benchmark_report_aggregates_only")) {
    args.push_back(aggregates.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 2;
  }
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
