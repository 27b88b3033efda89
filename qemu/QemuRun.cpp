#include "qemu/QemuRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "qemu/ScenarioBlob.h"

extern char** environ;

namespace qemu {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kLow32 = 0xFFFFFFFF;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// A fresh folder under the system's temporary one.
std::string MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "clockramp-qemu-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder");
  }
  return pattern;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

// The command line: q35 with SMM and the secure flash the firmware was built
// for, the two flash drives, the scenario in fw_cfg, isa-debug-exit, the
// firmware's debug console into `firmware_log`, and the traces of device
// accesses into `trace`.
std::vector<std::string> CommandLine(const std::string& qemu, const QemuOptions& options,
                                     const std::string& vars, const std::string& scenario,
                                     const std::string& trace, const std::string& firmware_log) {
  std::vector<std::string> args = {
      qemu,
      "-machine",
      "q35,smm=on",
      "-global",
      "driver=cfi.pflash01,property=secure,value=on",
      "-drive",
      "if=pflash,format=raw,unit=0,readonly=on,file=" + options.firmware,
      "-drive",
      "if=pflash,format=raw,unit=1,file=" + vars,
      "-m",
      "256",
      "-smp",
      "1",
      "-display",
      "none",
      "-nodefaults",
      "-no-reboot",
      "-device",
      "isa-debug-exit,iobase=0xf4,iosize=4",
      "-debugcon",
      "file:" + firmware_log,
      "-global",
      "isa-debugcon.iobase=0x402",
      "-fw_cfg",
      std::string("name=") + kScenarioFwCfgName + ",file=" + scenario,
      "-D",
      trace};
  std::string log = "trace:memory_region_ops_read,trace:memory_region_ops_write";
  if (options.execRange) {
    log += ",exec,nochain";
    args.emplace_back("-dfilter");
    args.push_back(fmt::format("{:#x}+{:#x}", options.execRange->begin, options.execRange->size));
  }
  args.emplace_back("-d");
  args.push_back(log);
  return args;
}

// Starts the command with stdout and stderr into `output`; waits at most
// `limit`, then kills it. Returns the exit status (-1 when killed).
int Run(const std::vector<std::string>& args, const std::string& output, unsigned limit,
        bool& timedOut) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + args[0]);
  }
  auto deadline = Clock::now() + std::chrono::seconds(limit);
  int status = 0;
  timedOut = false;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      timedOut = true;
      return -1;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The end state: the board's Super I/O part (no access reaches an absent
// chip) with what QEMU showed of the rest.
board::StateSnapshot EndState(const board::Board& board, const QemuTrace& trace) {
  board::StateSnapshot s = board.State();
  if (trace.state) {
    s.clockGenerator = trace.state->clockGenerator;
    s.acpiBase = trace.state->acpiBase;
    s.acpiControl = trace.state->acpiControl;
  }
  s.post.clear();
  for (const board::Event& e : trace.events) {
    if (e.kind == board::EventKind::Io && e.op == static_cast<uint8_t>(board::IoOp::Out) &&
        e.address == 0x80) {
      s.post.push_back(static_cast<uint8_t>(e.value));
    }
  }
  return s;
}

// Whether the helpers saw the callback: its first visible call is a GetVariable or an SMBus one.
bool CallbackSeen(const QemuTrace& trace) {
  for (const board::Event& e : trace.events) {
    if (e.kind == board::EventKind::Smbus || e.kind == board::EventKind::Pei) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> FindQemu() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / "qemu-system-i386";
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate.string();
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::string MissingForQemu() {
  std::string missing;
  if (!FindQemu()) {
    missing = "qemu-system-i386 (Debian package qemu-system-x86)";
  }
  for (const char* file : {kOvmfCode, kOvmfVars}) {
    if (!fs::exists(file)) {
      missing += (missing.empty() ? "" : ", ") + std::string(file) + " (Debian package ovmf-ia32)";
    }
  }
  return missing.empty() ? "" : "not installed: " + missing + "; scripts/deps.sh installs them";
}

uint64_t ShimToken5(const board::BoardConfig& config) {
  uint64_t value = config.pcdPcieBase.value_or(config.pcieBase);
  if ((value & kLow32) == 0) {
    return value;  // the module makes no configuration access at all
  }
  if (value == config.pcieBase) {
    return kShimPcieBase;
  }
  throw UnsupportedScenario(
      "PCD token 5 points outside the configuration window; under QEMU the module would reach "
      "memory the native board does not model");
}

QemuRun RunQemu(const board::BoardConfig& config, const QemuOptions& options) {
  if ((config.acpiBase & 0x7F) != 0) {
    throw UnsupportedScenario("the LPC bridge's PMBASE keeps bits 6:0 at 0; acpiBase must too");
  }
  const uint64_t shim = ShimToken5(config);
  std::vector<uint8_t> blob = BuildScenarioBlob(config, shim);
  std::string qemu = options.qemu.empty() ? FindQemu().value_or("") : options.qemu;
  if (qemu.empty()) {
    throw std::runtime_error("qemu-system-i386 is not installed (Debian package qemu-system-x86)");
  }

  QemuRun run;
  run.workDir = options.workDir.empty() ? MakeTempDir() : options.workDir;
  fs::create_directories(run.workDir);
  const fs::path dir(run.workDir);
  const std::string scenario = (dir / "scenario.bin").string();
  const std::string vars = (dir / "vars.fd").string();
  const std::string trace = (dir / "trace.log").string();
  const std::string firmware_log = (dir / "firmware.log").string();
  WriteBytes(scenario, blob);
  fs::copy_file(options.vars, vars, fs::copy_options::overwrite_existing);

  auto start = Clock::now();
  run.exitStatus = Run(CommandLine(qemu, options, vars, scenario, trace, firmware_log),
                       (dir / "qemu.out").string(), options.timeLimitSeconds, run.timedOut);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();

  ReaderOptions reader;
  reader.shimToken5 = shim;
  reader.scenarioToken5 = config.pcdPcieBase.value_or(config.pcieBase);
  {
    std::ifstream in(trace);
    run.trace = ReadQemuTrace(in, reader);
  }
  if (options.execRange) {
    std::ifstream in(trace);
    run.executed = ReadExecutedBlocks(in);
  }
  {
    std::ifstream in(firmware_log, std::ios::binary);
    run.firmwareLog.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  {
    std::ofstream log(dir / "helper.log");
    for (const std::string& line : run.trace.log) {
      log << line << "\n";
    }
  }

  if (run.timedOut || run.exitStatus != kExitPeimStatus) {
    run.problems.push_back(
        run.timedOut ? "QEMU did not stop within " + std::to_string(options.timeLimitSeconds) + " s"
                     : "QEMU exited with status " + std::to_string(run.exitStatus) +
                           ", not through the exit PEIM (see " + (dir / "qemu.out").string() + ")");
  }
  if (!run.trace.begun) {
    run.problems.emplace_back("the scenario PEIM never began (not dispatched, or no scenario)");
  } else if (!run.trace.ended) {
    run.problems.emplace_back("the exit PEIM never ended the module's part");
  }
  for (const std::string& u : run.trace.unexpected) {
    run.problems.push_back("unexpected inside the module's part: " + u);
  }

  run.board = std::make_unique<board::Board>(config);
  for (const board::Event& e : run.trace.events) {
    run.board->AppendEvent(e);
  }
  run.board->AppendEvent(board::Event::State(0, EndState(*run.board, run.trace)));
  run.outcome.notifications = CallbackSeen(run.trace) ? 1 : 0;
  run.outcome.hung = run.timedOut;

  if (options.workDir.empty() && !options.keepFiles && run.problems.empty()) {
    std::error_code ec;
    fs::remove_all(run.workDir, ec);
  }
  return run;
}

}  // namespace qemu
