#include "tools/QemuCommand.h"

#include <fmt/format.h>

#include "board/EventSink.h"
#include "board/NativeEngine.h"
#include "qemu/Compare.h"
#include "qemu/Firmware.h"
#include "qemu/QemuRun.h"
#include "tools/Engine.h"

namespace clockramp::tool {

void RegisterQemuEngine(const std::shared_ptr<const std::string>& workDir,
                        const std::shared_ptr<const bool>& beforeMemory) {
  RegisterEngine(Engine{
      "qemu",
      "the IA-32 image dispatched by the real PEI core of the ovmf-ia32 firmware in "
      "qemu-system-i386, compared with the native engine (see --qemu-dir)",
      [workDir, beforeMemory](const board::BoardConfig& config, board::EventSink* sink) {
        if (std::string missing = qemu::MissingForQemu(); !missing.empty()) {
          throw std::runtime_error(missing);
        }
        const bool early = beforeMemory && *beforeMemory;
        qemu::EnsureFirmware(qemu::DefaultFirmwareInputs(early), qemu::DefaultFirmwarePath(early));
        qemu::QemuOptions options;
        options.firmware = qemu::DefaultFirmwarePath(early);
        options.workDir = workDir ? *workDir : "";
        qemu::QemuRun result = qemu::RunQemu(config, options);
        board::RunResult native = board::RunNative(config);

        EngineRun run;
        run.notes.push_back(fmt::format(
            "QEMU: {:.1f} s, exit status {}, dispatched {}; not visible: the "
            "entry's and callback's statuses, LocatePpi, NotifyPpi, SIDT, "
            "PAUSE, virtual time",
            result.seconds, result.exitStatus, early ? "before memory, in place" : "after memory"));
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
