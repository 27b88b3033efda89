// The emulated IA-32 machine the module runs on: a Unicorn engine with the
// memory map of MemoryMap.h, port I/O and the PCI Express window forwarded to
// a board::HostBus with their true widths, one-instruction RET stubs whose
// host side runs when they are reached, guest calls that end only at a return
// stub, faults turned into descriptions, and the figures of a call
// (instructions, PAUSEs, stack high-water).
#ifndef CLOCKRAMP_EMU_MACHINE_H_
#define CLOCKRAMP_EMU_MACHINE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <optional>
#include <string>
#include <vector>

#include "board/HostBus.h"
#include "emu/MemoryMap.h"
#include "emu/Unicorn.h"

namespace emu {

// Why a guest call ended.
enum class CallEnd {
  kReturned,  // reached its return stub
  kStopped,   // the board stopped the run (a hang)
  kTimeout,   // the wall-clock limit passed
  kFault,     // the guest faulted; see Machine::fault()
};

struct CallResult {
  CallEnd end = CallEnd::kFault;
  uint32_t eax = 0;
  uint32_t edx = 0;
  uint64_t instructions = 0;  // executed during the call (0 unless measuring)
  uint64_t pauses = 0;        // PAUSE instructions executed (0 unless measuring)
  uint32_t stack_bytes = 0;   // stack high-water of the call, from the stack top
};

// Something the guest did that stopped it.
struct Fault {
  uint32_t address = 0;  // the faulting data address, or the instruction's
  uint32_t eip = 0;      // the instruction that faulted
  std::string what;      // a one-line description naming the address
};

class Machine {
 public:
  // Host side of a stub; reads its arguments with Arg() and sets the result
  // with SetResult(). May call Fail() to stop the guest with a fault.
  using StubHandler = std::function<void(Machine&)>;

  struct Options {
    bool measure = true;            // count instructions and PAUSEs (slower)
    // Windows [base, base + size) routed to the bus as memory-mapped I/O,
    // page-aligned, clear of the fixed regions of the memory map.
    std::vector<std::pair<uint32_t, uint32_t>> mmio_windows;
  };

  Machine(board::HostBus& bus, const Options& options);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  Machine(Machine&&) = delete;
  Machine& operator=(Machine&&) = delete;

  Engine& engine() { return engine_; }
  [[nodiscard]] const Engine& engine() const { return engine_; }

  // The parts of [base, base + size) clear of the fixed regions, page-aligned
  // outwards: where a PCI Express window can be routed.
  static std::vector<std::pair<uint32_t, uint32_t>> ClearWindows(uint64_t base, uint64_t size);

  // Describes an address for fault messages (e.g. "ClockRamp.efi+0x214 (.text)").
  void SetAddressDescriber(std::function<std::string(uint32_t)> describe) {
    describe_ = std::move(describe);
  }

  // Makes [base, base + size) readable and executable (0xFF until written), for
  // an image that runs at its own ImageBase outside the flash window. Nothing
  // to do inside the flash window; throws EmuError when the pages would
  // overlap another region of the memory map (the unmapped first MiB
  // included) or a device window.
  void MapImageWindow(uint32_t base, uint32_t size);

  // Allocates a stub (a RET in the stub page) and returns its address.
  uint32_t AddStub(std::string name, StubHandler handler);
  // A stub that stops the guest with a fault naming the unexpected call.
  uint32_t AddUnexpectedStub(const std::string& name);
  // Allocates `size` bytes of Foundation data (4-byte aligned) and returns the address.
  uint32_t AllocateData(uint32_t size, uint32_t align = 4);

  // Inside a stub handler: the n-th 32-bit cdecl argument (0 is the first).
  [[nodiscard]] uint32_t Arg(unsigned index) const;
  void SetResult(uint32_t eax, uint32_t edx = 0);
  // Inside a handler: stores bytes for the guest at an address it passed
  // (an out-parameter or a buffer). Only guest RAM (the stack) can be written;
  // anything else stops the guest with a fault naming the address and false.
  bool WriteGuest(uint32_t address, std::span<const uint8_t> bytes, const char* what);
  bool WriteGuest32(uint32_t address, uint32_t value, const char* what);
  // Inside a handler: reads guest memory the guest pointed at; a bad pointer
  // stops the guest with a fault and returns false.
  bool ReadGuest(uint32_t address, std::span<uint8_t> bytes, const char* what);
  std::optional<uint32_t> ReadGuest32(uint32_t address, const char* what);
  // Stops the guest with a fault.
  void Fail(uint32_t address, std::string what);
  // An address with what the describer knows of it, for messages.
  [[nodiscard]] std::string Describe(uint32_t address) const;

  // Calls `function` with cdecl `args`, the stack pattern-filled first.
  // Returns when the call reaches its return stub or stops for another
  // reason, at the latest after `timeout_us` of host time (0: no limit).
  CallResult Call(uint32_t function, const std::vector<uint32_t>& args, uint64_t timeout_us = 0);

  [[nodiscard]] const std::optional<Fault>& fault() const { return fault_; }
  // Instructions executed so far across all calls (0 unless measuring).
  [[nodiscard]] uint64_t instructions() const { return instructions_; }
  // Instruction counts at each POST 0xC4 write (the start of a ramp step).
  [[nodiscard]] const std::vector<uint64_t>& step_marks() const { return step_marks_; }

 private:
  struct Stub {
    std::string name;
    StubHandler handler;
  };
  struct MmioWindow {
    Machine* machine;
    uint32_t base;
  };

  static uint32_t OnPortIn(uc_engine* uc, uint32_t port, int size, void* user);
  static void OnPortOut(uc_engine* uc, uint32_t port, int size, uint32_t value, void* user);
  static uint64_t OnMmioRead(uc_engine* uc, uint64_t offset, unsigned size, void* user);
  static void OnMmioWrite(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value,
                          void* user);
  static void OnStub(uc_engine* uc, uint64_t address, uint32_t size, void* user);
  static void OnMmioAccess(uc_engine* uc, uc_mem_type type, uint64_t address, int size,
                           int64_t value, void* user);
  static void OnInstruction(uc_engine* uc, uint64_t address, uint32_t size, void* user);
  static bool OnBadMemory(uc_engine* uc, uc_mem_type type, uint64_t address, int size,
                          int64_t value, void* user);
  static void OnInterrupt(uc_engine* uc, uint32_t number, void* user);
  static bool OnInvalidInstruction(uc_engine* uc, void* user);

  // After a device access: stops the guest as soon as the board has stopped.
  void CheckStopped();
  void MapMmioWindow(uint32_t base, uint32_t size);
  [[nodiscard]] uint32_t StackHighWater() const;

  board::HostBus& bus_;
  Options options_;
  std::function<std::string(uint32_t)> describe_;

  Engine engine_;
  // Hooks after the engine: they are removed before it is closed.
  Hook port_in_;
  Hook port_out_;
  Hook stubs_hook_;
  Hook count_hook_;
  Hook bad_memory_;
  Hook interrupt_;
  Hook invalid_instruction_;
  std::vector<Hook> mmio_checks_;

  std::vector<Stub> stubs_;
  uint32_t next_data_ = memmap::kFoundationBase;
  uint32_t return_stub_ = 0;
  std::vector<std::unique_ptr<MmioWindow>> mmio_windows_;
  bool stopped_ = false;
  bool in_call_ = false;
  std::optional<Fault> fault_;
  uint64_t instructions_ = 0;
  uint64_t pauses_ = 0;
  std::vector<uint64_t> step_marks_;
};

}  // namespace emu

#endif  // CLOCKRAMP_EMU_MACHINE_H_
