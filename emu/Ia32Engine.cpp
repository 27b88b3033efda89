#include "emu/Ia32Engine.h"

#include <algorithm>
#include <chrono>

#include "BuildPaths.h"
#include "emu/GuestFoundation.h"
#include "emu/ImageLoader.h"
#include "emu/Unicorn.h"
#include "image/InputFile.h"

namespace emu {

namespace {

using Clock = std::chrono::steady_clock;

// The size of the PCI Express configuration window (256 buses).
constexpr uint64_t kPcieWindowSize = 0x10000000;

// Where the module can reach the configuration space: the low 32 bits of
// what PCD token 5 answers (the module keeps only those), when there is a
// PCD PPI and the base is not 0 (then the module makes no access).
std::vector<std::pair<uint32_t, uint32_t>> PcieWindows(const board::BoardConfig& config) {
  if (!config.pcdPpi) {
    return {};
  }
  auto base = static_cast<uint32_t>(config.pcdPcieBase.value_or(config.pcieBase));
  if (base == 0) {
    return {};
  }
  return Machine::ClearWindows(base, kPcieWindowSize);
}

// One run: the machine, the image in it, the Foundation, the figures.
class Run {
 public:
  Run(board::Board& board, const EmuOptions& options, const clockramp::pe::PeImage& image)
      : board_(board),
        options_(options),
        machine_(board, MachineOptions(board, options)),
        image_(options.at_image_base ? LoadImageAtBase(machine_, image)
                                     : LoadImage(machine_, image, options.load_address)),
        foundation_(machine_, board),
        deadline_(options.time_limit_ms == 0
                      ? Clock::time_point::max()
                      : Clock::now() + std::chrono::milliseconds(options.time_limit_ms)) {
    machine_.SetAddressDescriber([this](uint32_t address) { return image_.Describe(address); });
  }

  EmuOutcome Dispatch() {
    auto start = Clock::now();
    const board::BoardConfig& config = board_.Config();
    if (config.pcdPpi) {
      foundation_.Install(foundation_.pcd_ppi());
    }
    if (config.variablePpi) {
      foundation_.Install(foundation_.variable_ppi());
    }
    if (config.smbusPpi == board::SmbusPpiTiming::BeforeEntry) {
      foundation_.Install(foundation_.smbus_ppi());
    }
    if (CallEntry() && DrainNotifications() &&
        config.smbusPpi == board::SmbusPpiTiming::AfterEntry) {
      foundation_.Install(foundation_.smbus_ppi());
      DrainNotifications();
    }
    outcome_.hung = board_.Stopped();
    board_.AppendStateEvent();
    outcome_.fault = machine_.fault();
    Finish(std::chrono::duration<double>(Clock::now() - start).count());
    return std::move(outcome_);
  }

 private:
  static Machine::Options MachineOptions(const board::Board& board, const EmuOptions& options) {
    Machine::Options m;
    m.measure = options.measure;
    m.mmio_windows = PcieWindows(board.Config());
    return m;
  }

  // Runs one guest call with what is left of the time limit; false when the run is over.
  bool Call(uint32_t function, const std::vector<uint32_t>& args, CallResult& result) {
    uint64_t timeout_us = 0;
    if (deadline_ != Clock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
      timeout_us = static_cast<uint64_t>(std::max<int64_t>(left.count(), 1));
    }
    result = machine_.Call(function, args, timeout_us);
    outcome_.figures.stack_high_water =
        std::max(outcome_.figures.stack_high_water, result.stack_bytes);
    outcome_.figures.pauses += result.pauses;
    if (result.end == CallEnd::kTimeout) {
      outcome_.timed_out = true;
      board_.StopRun("wall-clock limit of " + std::to_string(options_.time_limit_ms) +
                     " ms reached by the IA-32 engine");
    }
    return result.end == CallEnd::kReturned;
  }

  bool CallEntry() {
    board_.RecordCall(board::Function::ClockRampEntry);
    CallResult result;
    // ClockRampEntry(FileHandle = NULL, PeiServices)
    bool returned = Call(image_.entry, {0, foundation_.services()}, result);
    outcome_.figures.entry_instructions = result.instructions;
    outcome_.figures.entry_stack = result.stack_bytes;
    if (returned) {
      board_.RecordReturn(board::Function::ClockRampEntry, result.eax);
      outcome_.entryStatus = result.eax;
    }
    return returned;
  }

  bool DrainNotifications() {
    while (auto pending = board_.Foundation().TakePending()) {
      ++outcome_.notifications;
      board_.RecordCall(board::Function::ClockRampNotify);
      CallResult result;
      // Notify(PeiServices, NotifyDescriptor, Ppi)
      bool returned =
          Call(static_cast<uint32_t>(pending->notify.function),
               {foundation_.services(), static_cast<uint32_t>(pending->notify.descriptor),
                static_cast<uint32_t>(pending->ppi.interface)},
               result);
      outcome_.figures.callback_instructions += result.instructions;
      outcome_.figures.callback_stack =
          std::max(outcome_.figures.callback_stack, result.stack_bytes);
      if (!returned) {
        return false;
      }
      board_.RecordReturn(board::Function::ClockRampNotify, result.eax);
      outcome_.notifyStatus = result.eax;
    }
    return true;
  }

  void Finish(double seconds) {
    EmuFigures& f = outcome_.figures;
    f.instructions = machine_.instructions();
    f.load_address = image_.base;
    f.wall_seconds = seconds;
    const std::vector<uint64_t>& marks = machine_.step_marks();
    for (size_t i = 1; i < marks.size(); ++i) {
      f.step_instructions.push_back(marks[i] - marks[i - 1]);
    }
  }

  board::Board& board_;
  const EmuOptions& options_;
  Machine machine_;
  LoadedImage image_;
  GuestFoundation foundation_;
  Clock::time_point deadline_;
  EmuOutcome outcome_;
};

}  // namespace

std::string DefaultImagePath() { return CLOCKRAMP_DEFAULT_IMAGE; }

std::shared_ptr<const clockramp::pe::PeImage> ReadImage(const std::string& path) {
  try {
    return std::make_shared<const clockramp::pe::PeImage>(clockramp::pe::PeImage::ReadFile(path));
  } catch (const clockramp::files::InputError& error) {
    throw EmuError(error.what());  // it names the file
  } catch (const std::exception& error) {
    throw EmuError(path + ": " + error.what());
  }
}

EmuOutcome RunIa32(board::Board& board, const EmuOptions& options) {
  std::shared_ptr<const clockramp::pe::PeImage> image = options.image;
  if (!image) {
    image = ReadImage(options.image_path.empty() ? DefaultImagePath() : options.image_path);
  }
  Run run(board, options, *image);
  return run.Dispatch();
}

EmuResult RunIa32(const board::BoardConfig& config, const EmuOptions& options,
                  board::EventSink* sink) {
  EmuResult result;
  result.board = std::make_unique<board::Board>(config, sink);
  static_cast<EmuOutcome&>(result) = RunIa32(*result.board, options);
  return result;
}

}  // namespace emu
