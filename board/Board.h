// The simulated board: virtual time, the event trace, the devices, the
// variable store, the PCD and the stand-in PEI Foundation behind one object.
//
// Port, memory-mapped and processor accesses arrive through HostBus (from
// the host platform layer, or from an instruction-level engine); PEI service
// and PPI calls arrive through the engine-neutral methods below, which take
// plain values, so any engine can forward to them. Every access is recorded
// in the trace, stamped with the virtual time at which it begins, and then
// charged its cost (board/VirtualClock.h).
//
// Hang detection: when consecutive reads of one port or address (with
// nothing but PAUSE between them) span more than the configured limit, the
// board records a "hang" line and stops. From then on it answers accesses
// without recording them, moving time or changing any device (port reads
// float, SMBus transactions and NotifyPpi answer EFI_ABORTED); Stopped() tells
// the engine to unwind.
#ifndef CLOCKRAMP_BOARD_BOARD_H_
#define CLOCKRAMP_BOARD_BOARD_H_

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "board/AcpiTimer.h"
#include "board/BoardConfig.h"
#include "board/ClockGenerator.h"
#include "board/Event.h"
#include "board/EventSink.h"
#include "board/HostBus.h"
#include "board/Pcd.h"
#include "board/PeiFoundation.h"
#include "board/PlatformController.h"
#include "board/PostPort.h"
#include "board/SuperIo.h"
#include "board/Trace.h"
#include "board/VariableStore.h"
#include "board/VirtualClock.h"

namespace board {

inline constexpr std::u16string_view kSetupName = u"Setup";
inline constexpr std::u16string_view kPchRcConfigurationName = u"PchRcConfiguration";

// How many bytes of the caller's buffer an SMBus operation sends: the engine
// passes that many to SmbusExecute (a block is cut at 32 bytes, the most a
// block can carry).
uint64_t SmbusWriteLength(uint8_t operation, uint64_t length);

// What LocatePpi found.
struct LocateResult {
  uint32_t status = 0;
  uint64_t descriptor = 0;
  uint64_t interface = 0;
};

class Board final : public HostBus {
 public:
  // `sink` receives every event of the run and must outlive the board;
  // nullptr keeps them in Events().
  explicit Board(const BoardConfig& config = {}, EventSink* sink = nullptr);

  // HostBus: ports, MMIO, SIDT, PAUSE; Stopped() once the run is stopped.
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void MmioWrite(uint64_t address, unsigned width, uint32_t value) override;
  uint32_t MmioRead(uint64_t address, unsigned width) override;
  uint64_t ReadIdtr(uint16_t& limit) override;
  void Pause() override;

  // Stops the run from outside (an engine's wall-clock limit, a guest fault):
  // records a "hang" line with the reason, then behaves as after a hang.
  // Does nothing once stopped.
  void StopRun(std::string reason);

  // Stops the run as a hang once `limitMs` of real time has passed from now
  // (0: never), looking at the clock every few hundred events: the guard of
  // an engine whose module runs on the host's own processor, where nothing
  // else can interrupt it. A loop that makes no access is not seen.
  void SetWallClockLimit(uint64_t limitMs);
  // Whether that limit stopped the run.
  [[nodiscard]] bool WallClockExpired() const { return wallClockExpired_; }

  // Engine set-up, not recorded: the IDT register SIDT answers, and PPIs the
  // Foundation installs (notifications registered on them become pending).
  void SetIdtr(uint64_t base, uint16_t limit);
  void InstallPpi(const Guid& guid, uint64_t descriptor, uint64_t interface);

  // PEI services and PPIs, recorded as "pei", "pcd" and "smbus" lines.
  LocateResult LocatePpi(const Guid& guid, uint64_t instance);
  uint32_t NotifyPpi(std::span<const NotifyEntry> list);
  VariableResult GetVariable(std::u16string_view name, const Guid& guid, uint64_t bufferSize);
  SmbusResult SmbusExecute(uint64_t address, uint64_t command, uint8_t operation, bool pecCheck,
                           uint64_t length, std::span<const uint8_t> writeData);
  uint64_t PcdGet64(uint64_t token);
  // A service the board does not model (InstallPpi, ...): recorded with the status answered.
  uint32_t UnmodelledPeiCall(PeiCall call, uint32_t status);

  // The module's entry and notify functions, as the engine calls them.
  void RecordCall(Function fn);
  void RecordReturn(Function fn, uint32_t status);

  // The board now, and the "state" line that ends a trace.
  [[nodiscard]] StateSnapshot State() const;
  [[nodiscard]] Event StateEvent() const;
  void AppendStateEvent() { Record(StateEvent()); }
  // An event another engine observed and the board did not make (the QEMU
  // harness reads its trace back onto a board this way).
  void AppendEvent(Event event) { Record(std::move(event)); }

  // Inspection.
  [[nodiscard]] const BoardConfig& Config() const { return config_; }
  [[nodiscard]] uint64_t Now() const { return clock_.Now(); }
  // The events kept in memory: empty when the board was given a sink.
  [[nodiscard]] const Trace& Events() const { return trace_; }
  [[nodiscard]] const std::string& StopReason() const { return stopReason_; }
  [[nodiscard]] ClockGenerator& ClockGen() { return clockGen_; }
  [[nodiscard]] const ClockGenerator& ClockGen() const { return clockGen_; }
  [[nodiscard]] SuperIo& Sio() { return sio_; }
  [[nodiscard]] const SuperIo& Sio() const { return sio_; }
  [[nodiscard]] PlatformController& Pch() { return pch_; }
  [[nodiscard]] const PlatformController& Pch() const { return pch_; }
  [[nodiscard]] const AcpiTimer& PmTimer() const { return timer_; }
  [[nodiscard]] const PostPort& Post() const { return post_; }
  [[nodiscard]] VariableStore& Variables() { return variables_; }
  [[nodiscard]] const VariableStore& Variables() const { return variables_; }
  [[nodiscard]] PeiFoundation& Foundation() { return foundation_; }
  [[nodiscard]] const PeiFoundation& Foundation() const { return foundation_; }

 private:
  // The location a poll is reading, and since when.
  struct Poll {
    bool active = false;
    bool io = false;
    uint64_t location = 0;
    uint64_t since = 0;
  };

  [[nodiscard]] uint32_t PortValue(uint16_t port, unsigned width, uint64_t t);
  void WritePort(uint16_t port, unsigned width, uint32_t value);
  [[nodiscard]] bool TimerDecodes(uint16_t port, unsigned width) const;
  void WatchRead(bool io, uint64_t location, uint64_t t);
  void BreakPoll() { poll_.active = false; }
  // Inlined into every access: it is on the path of each one.
  [[gnu::always_inline]] void Record(Event event) {
    if (sink_ != nullptr) {
      sink_->OnEvent(event);
    } else {
      trace_.Append(std::move(event));
    }
    if (--untilWallClockCheck_ == 0) [[unlikely]] {
      CheckWallClock();
    }
  }
  // Out of line and rarely reached, so that Record stays small enough to inline.
  [[gnu::noinline, gnu::cold]] void CheckWallClock();

  BoardConfig config_;
  VirtualClock clock_;
  Trace trace_;
  EventSink* sink_ = nullptr;
  ClockGenerator clockGen_;
  SuperIo sio_;
  PlatformController pch_;
  AcpiTimer timer_;
  PostPort post_;
  VariableStore variables_;
  Pcd pcd_;
  PeiFoundation foundation_;
  uint64_t idtBase_ = 0;
  uint16_t idtLimit_ = 0;
  Poll poll_;
  std::string stopReason_;
  // The wall-clock guard: the limit (0: none), when it passes, and the
  // events left before the clock is read again.
  static constexpr uint32_t kWallClockCheckEvents = 512;
  uint64_t wallClockLimitMs_ = 0;
  std::chrono::steady_clock::time_point wallClockDeadline_;
  uint32_t untilWallClockCheck_ = kWallClockCheckEvents;
  bool wallClockExpired_ = false;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_BOARD_H_
