#include "tools/QemuCommand.h"

#include <fmt/format.h>

#include <filesystem>

#include "board/EventSink.h"
#include "board/NativeEngine.h"
#include "image/FvBuilder.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/FirmwareLog.h"
#include "qemu/QemuRun.h"
#include "tools/Engine.h"

namespace clockramp::tool {

namespace {

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
        qemu::QemuRun result = qemu::RunQemu(config, options);
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
          run.notes.push_back("problem: " + problem);
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
        if (!result.workDir.empty() && (!options.workDir.empty() || !result.problems.empty())) {
          run.notes.push_back("files: " + result.workDir);
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
      }});
}

}  // namespace clockramp::tool
