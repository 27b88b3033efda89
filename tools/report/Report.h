// `clockramp report`: the figures a firmware engineer asks for before taking
// the module in: flash (the image and its firmware file), stack (high-water
// of the real IA-32 image under emulation), instructions (entry, callback,
// per ramp step) and boot time (virtual time, split by what it was spent
// on), with every bus and port access counted by kind. For a scenario and
// for the worst case the module can meet: a full ramp from 0 to 2047 in
// automatic level mode with the longest settle delay.
//
// Figures come from one emulated run with measuring on (instructions,
// stack, PAUSEs) and its events (accesses, time), compared as they happen
// with a native run of the same board; per-step module work from a second
// emulated run of the same board with RampStepDelay 0. Only the native run's
// trace is kept (the comparison needs one side); the emulated runs' events
// go through a FigureSink and are not stored.
#ifndef CLOCKRAMP_TOOLS_REPORT_REPORT_H_
#define CLOCKRAMP_TOOLS_REPORT_REPORT_H_

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "board/BoardConfig.h"
#include "board/Event.h"
#include "board/EventSink.h"
#include "image/ImageReport.h"

namespace clockramp::report {

// The stack the module may use, from the top the Foundation hands it.
inline constexpr uint32_t kStackGoal = 1760;
// What the Foundation itself puts on the stack for the callback: three
// argument words and the return address. Part of the high-water mark.
inline constexpr uint32_t kCallbackFrameBytes = 16;
// The module reads the ACPI PM timer here (ACPI base 0x500 + 8), and writes
// POST 0xC4 first in every guarded step.
inline constexpr uint16_t kTimerPort = 0x508;
inline constexpr uint16_t kPostPort = 0x80;
inline constexpr uint16_t kSioIndexPort = 0x2E;
inline constexpr uint16_t kSioDataPort = 0x2F;
inline constexpr uint8_t kPostStepBegin = 0xC4;

// The worst case: the default board ramping from 0 to 2047, automatic level
// mode, 255 µs settle delay.
inline constexpr uint16_t kWorstCaseFrom = 0;
inline constexpr uint16_t kWorstCaseTo = 2047;
inline constexpr uint8_t kWorstCaseDelayUs = 255;
board::BoardConfig WorstCaseConfig();

// min, median and max of a set of figures. The median of an even count is
// the lower of the two middle values (a value that occurred).
struct Distribution {
  size_t count = 0;
  uint64_t min = 0;
  uint64_t median = 0;
  uint64_t max = 0;
};
Distribution Distribute(std::vector<uint64_t> values);

struct PortCount {
  uint32_t in = 0;
  uint32_t out = 0;
};

// Accesses of a trace by kind.
struct AccessCounts {
  std::map<std::string, uint32_t> smbus;  // by operation ("writeBlock", "readBlock", ...)
  uint32_t smbusFailed = 0;               // of those, transactions answered with an error
  std::map<uint16_t, PortCount> io;       // by port
  uint32_t mmioReads = 0;
  uint32_t mmioWrites = 0;
  // PEI services and PPI calls other than SMBus Execute: "LocatePpi",
  // "NotifyPpi", "GetVariable", "PCD Get64", ...
  std::map<std::string, uint32_t> pei;
  uint32_t sidt = 0;  // "cpu" lines (the native engine records them)
  uint32_t pauses = 0;

  [[nodiscard]] uint32_t SmbusTotal() const;
  [[nodiscard]] uint32_t IoTotal() const;
  [[nodiscard]] uint32_t PeiTotal() const;
};

// Where the virtual time of a run went. An access lasts from its t to the
// next line's t, so the parts add up to the total.
struct TimeSplit {
  uint64_t total = 0;    // first line to last
  uint64_t smbus = 0;    // SMBus transactions
  uint64_t delays = 0;   // reading the ACPI timer (the settle waits)
  uint64_t superIo = 0;  // ports 0x2E and 0x2F
  uint64_t post = 0;     // port 0x80
  uint64_t mmio = 0;     // PCI configuration space
  uint64_t otherIo = 0;  // any other port
  [[nodiscard]] uint64_t Other() const { return superIo + post + mmio + otherIo; }
};

// What the run made between one POST 0xC4 and the next: one guarded step,
// its settle wait and, in automatic mode, the next code's level decision.
struct StepInterval {
  uint64_t time = 0;  // virtual ns
  uint32_t smbus = 0;
  uint32_t superIo = 0;
  uint32_t post = 0;
  uint32_t timerReads = 0;
  uint32_t other = 0;  // any other access (MMIO, other ports, PEI calls)
};
// The accesses, the time split and the steps of a run (POST 0xC4 writes, and
// the intervals between consecutive ones) as one sink, built as the events go
// by: it keeps one record per step interval and the running totals, nothing
// per access.
class FigureSink final : public board::EventSink {
 public:
  void OnEvent(const board::Event& event) override;

  [[nodiscard]] const AccessCounts& Accesses() const { return accesses_; }
  [[nodiscard]] const TimeSplit& Time() const { return time_; }
  [[nodiscard]] uint32_t Steps() const { return steps_; }
  [[nodiscard]] const std::vector<StepInterval>& Intervals() const { return intervals_; }
  [[nodiscard]] uint64_t Lines() const { return lines_; }

 private:
  // Where the span from the previous line to this one goes.
  enum class Part : uint8_t { Smbus, Delays, SuperIo, Post, Mmio, OtherIo };

  AccessCounts accesses_;
  TimeSplit time_;
  uint32_t steps_ = 0;
  std::vector<StepInterval> intervals_;
  std::optional<StepInterval> open_;  // the step interval under way
  uint64_t openedAt_ = 0;
  uint64_t lines_ = 0;
  uint64_t firstT_ = 0;
  uint64_t lastT_ = 0;
  Part lastPart_ = Part::OtherIo;
};

struct StepFigures {
  uint32_t steps = 0;         // POST 0xC4 writes
  Distribution instructions;  // per interval (steps - 1 of them)
  Distribution time;          // virtual ns per interval
  Distribution smbus;
  Distribution superIo;
  Distribution post;
  Distribution timerReads;
  // The same board with RampStepDelay 0, when the scenario has a delay to
  // take away: instructions per interval with the shortest waits, the timer
  // reads those still make, and what each further timer poll costs.
  std::optional<Distribution> instructionsNoWait;
  std::optional<Distribution> timerReadsNoWait;
  std::optional<double> instructionsPerPoll;
};

struct RunFigures {
  std::string name;
  // The ramp as the scenario sets it up (from the clock generator registers
  // and "Setup"; absent when "Setup" does not reach the fields).
  uint16_t codeFrom = 0;
  std::optional<uint16_t> target;
  std::optional<uint8_t> levelSelect;
  std::optional<uint8_t> stepDelayUs;
  uint16_t codeTo = 0;  // the code the clock generator holds at the end

  std::optional<uint32_t> entryStatus;
  std::optional<uint32_t> notifyStatus;
  bool hung = false;
  std::string stopReason;
  std::string fault;                      // a guest fault of the IA-32 run
  std::optional<std::string> difference;  // where native and IA-32 runs differ
  size_t traceLines = 0;                  // of the IA-32 run

  uint32_t stackHighWater = 0;
  uint32_t entryStack = 0;
  uint32_t callbackStack = 0;

  uint64_t instructions = 0;
  uint64_t entryInstructions = 0;
  uint64_t callbackInstructions = 0;
  uint64_t pauses = 0;  // counted by the IA-32 engine

  StepFigures steps;
  AccessCounts accesses;  // IA-32 trace, with SIDT and PAUSE lines from the native one
  TimeSplit time;
};

struct ReportOptions {
  std::string imagePath;  // empty: the ClockRamp.efi this build produced
  std::string ffsPath;    // empty: the ClockRamp.ffs this build produced
  std::string mapPath;    // empty: the image path with .map
  bool worstCase = true;  // also measure the worst case
};

struct Report {
  std::string imagePath;
  std::string ffsPath;
  std::optional<image::ImageFigures> image;
  std::string imageError;  // why the size figures could not be read
  RunFigures scenario;
  std::optional<RunFigures> worstCase;
};

// The ClockRamp.efi and ClockRamp.ffs this build produced.
std::string DefaultImagePath();
std::string DefaultFfsPath();

// Measures one board. Throws emu::EmuError when the image cannot be loaded.
RunFigures MeasureRun(const std::string& name, const board::BoardConfig& config,
                      const ReportOptions& options = {});
// The image's sizes, the scenario and (unless turned off) the worst case.
Report BuildReport(const std::string& name, const board::BoardConfig& config,
                   const ReportOptions& options = {});

void PrintReport(std::ostream& out, const Report& report);
nlohmann::ordered_json ReportJson(const Report& report);

}  // namespace clockramp::report

#endif  // CLOCKRAMP_TOOLS_REPORT_REPORT_H_
