#include "tools/QemuCommand.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>

#include <fmt/format.h>

#include "board/EventSink.h"
#include "board/NativeEngine.h"
#include "board/Status.h"
#include "image/FvBuilder.h"
#include "image/Printable.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/FirmwareLog.h"
#include "qemu/QemuRun.h"
#include "tools/Engine.h"

namespace clockramp::tool {
namespace {

bool IsError(const std::optional<uint32_t>& status) { return status && board::IsError(*status); }

// QEMU's q35 has no Super I/O chip: a board that has one only because its
// scenario left the point unsaid (the default board among them) runs
// without it.
void LeaveOutSuperIo(Scenario& scenario, std::vector<std::string>& notes) {
  if (scenario.superIoStated || !scenario.config.superIoPresent) {
    return;
  }
  scenario.config.superIoPresent = false;
  notes.emplace_back(
      "run without the board's Super I/O chip: QEMU's q35 has none at ports 0x2E/0x2F "
      "(a scenario says so with \"superIo\": {\"present\": false})");
}

// "QEMU: 2.4 s" on stderr, rewritten in place about five times a second.
std::function<void(double)> ProgressLine() {
  auto shown = std::make_shared<double>(-1);
  return [shown](double seconds) {
    if (seconds - *shown >= 0.2) {
      *shown = seconds;
      std::cerr << fmt::format("\rQEMU: {:.1f} s", seconds) << std::flush;
    }
  };
}

namespace fs = std::filesystem;

// The firmware a run boots and its variable store: the one given, or this
// build's (with another module image when one is given), prepared first.
void ChooseFirmware(const QemuEngineOptions& engine, qemu::QemuOptions& options) {
  if (!engine.firmware.empty()) {
    std::error_code ec;
    if (!fs::is_regular_file(engine.firmware, ec)) {
      throw std::runtime_error("no firmware file " + engine.firmware);
    }
    options.firmware = engine.firmware;
    const fs::path vars = fs::path(engine.firmware).parent_path() / "OVMF_VARS.fd";
    if (fs::exists(vars, ec)) {
      options.vars = vars.string();
    }
    return;
  }
  qemu::FirmwareInputs inputs = qemu::DefaultFirmwareInputs(engine.beforeMemory);
  std::string path = qemu::DefaultFirmwarePath(engine.beforeMemory);
  if (!engine.image.empty()) {
    inputs.module = engine.image;
    path = qemu::FirmwarePathForImage(engine.image, engine.beforeMemory);
  }
  qemu::EnsureFirmware(inputs, path);
  options.firmware = path;
}

}  // namespace

void RegisterQemuEngine(const std::shared_ptr<const QemuEngineOptions>& engineOptions) {
  RegisterEngine(Engine{
      "qemu",
      "the IA-32 image dispatched by the real PEI core of the ovmf-ia32 firmware in "
      "qemu-system-i386, compared with the native engine (see --qemu-dir, --image, --firmware)",
      [engineOptions](const board::BoardConfig& config, board::EventSink* sink) {
        if (std::string missing = qemu::MissingForQemu(); !missing.empty()) {
          throw std::runtime_error(missing);
        }
        const QemuEngineOptions engine = engineOptions ? *engineOptions : QemuEngineOptions{};
        const bool early = engine.beforeMemory;
        qemu::QemuOptions options;
        ChooseFirmware(engine, options);
        options.workDir = engine.workDir;
        options.timeLimitMs = config.wallClockLimitMs;
        const bool terminal = isatty(STDERR_FILENO) != 0;
        if (terminal) {
          options.progress = ProgressLine();
        }
        qemu::QemuRun result = qemu::RunQemu(config, options);
        if (terminal) {
          std::cerr << "\r\033[K" << std::flush;
        }
        board::RunResult native = board::RunNative(config);

        EngineRun run;
        run.notes.push_back(
            fmt::format("QEMU: {:.1f} s, exit status {}, dispatched {}; not visible: the "
                        "entry's and callback's statuses, LocatePpi, NotifyPpi, SIDT, "
                        "PAUSE, virtual time",
                        result.seconds, result.exitStatus,
                        !engine.firmware.empty() ? "as the firmware was built"
                        : early                  ? "before memory, in place"
                                                 : "after memory"));
        if (!result.firmwareLog.empty()) {
          // A DEBUG firmware: its PEI core's own account of the module.
          const qemu::FirmwareLogFacts facts = qemu::ReadFirmwareLog(
              result.firmwareLog, clockramp::fv::kClockRampFileGuid.ToString());
          const std::vector<std::string> problems =
              qemu::FirmwareLogProblems(facts, qemu::PlacedModule(options.firmware).size);
          if (problems.empty()) {
            run.notes.push_back(fmt::format(
                "the PEI core's log: ClockRamp loaded at {:#x}, its SMBus2 notification "
                "registered and dispatched to {:#x}, no ASSERT",
                *facts.loadedAt, *facts.dispatched));
          }
          for (const std::string& problem : problems) {
            run.notes.push_back("problem: " + problem);
          }
        }
        for (const std::string& problem : result.problems) {
          run.notes.push_back("problem: " + files::Printable(problem, 1000));
        }
        const auto& n = native.trace().Events();
        const auto& q = result.board->Events().Events();
        qemu::Comparison c = qemu::CompareRuns(n, n.back().Snapshot(), q, q.back().Snapshot());
        if (c.difference) {
          run.notes.push_back("differs from the native engine: " + *c.difference);
        } else {
          run.notes.push_back(fmt::format(
              "same as the native engine: {} visible lines ({} timer waits) and the end state; "
              "{} native lines not visible",
              c.compared, c.waits, c.notSeen));
        }
        run.failed = c.difference.has_value() || !result.problems.empty();
        // The statuses are not visible here; a run that matched the native
        // one fails where the native run's module did.
        if (!run.failed && (IsError(native.entryStatus) || IsError(native.notifyStatus))) {
          run.failed = true;
          run.notes.emplace_back(
              "the module returned an error on the native engine, whose run this one matched");
        }
        if (!result.workDir.empty() && (!options.workDir.empty() || !result.problems.empty())) {
          run.notes.push_back("files: " + files::Printable(result.workDir, 1000));
        }
        // QEMU's trace is read back whole after the run; it goes to the sink
        // the run was given in one pass, as another engine's would as it ran.
        if (sink != nullptr) {
          for (const board::Event& e : q) {
            sink->OnEvent(e);
          }
        }
        run.outcome = result.outcome;
        run.board = std::move(result.board);
        return run;
      },
      LeaveOutSuperIo});
}

}  // namespace clockramp::tool
