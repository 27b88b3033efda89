#include "emu/Unicorn.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace emu {

void Check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) {
    throw EmuError(std::string(what) + ": " + uc_strerror(err));
  }
}

Engine::Engine() { Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open"); }

Engine::~Engine() {
  if (uc_ != nullptr) {
    uc_close(uc_);
  }
}

Engine::Engine(Engine&& other) noexcept : uc_(std::exchange(other.uc_, nullptr)) {}

Engine& Engine::operator=(Engine&& other) noexcept {
  if (this != &other) {
    if (uc_ != nullptr) {
      uc_close(uc_);
    }
    uc_ = std::exchange(other.uc_, nullptr);
  }
  return *this;
}

void Engine::Map(uint32_t address, uint32_t size, uint32_t perms) {
  Check(uc_mem_map(uc_, address, size, perms), "uc_mem_map");
}

void Engine::MapMmio(uint32_t address, uint32_t size, uc_cb_mmio_read_t read,
                     uc_cb_mmio_write_t write, void* user) {
  Check(uc_mmio_map(uc_, address, size, read, user, write, user), "uc_mmio_map");
}

void Engine::Protect(uint32_t address, uint32_t size, uint32_t perms) {
  Check(uc_mem_protect(uc_, address, size, perms), "uc_mem_protect");
}

void Engine::Write(uint32_t address, std::span<const uint8_t> bytes) {
  if (!bytes.empty()) {
    Check(uc_mem_write(uc_, address, bytes.data(), bytes.size()), "uc_mem_write");
  }
}

void Engine::Read(uint32_t address, std::span<uint8_t> bytes) const {
  if (!bytes.empty()) {
    Check(uc_mem_read(uc_, address, bytes.data(), bytes.size()), "uc_mem_read");
  }
}

std::vector<uint8_t> Engine::Read(uint32_t address, size_t size) const {
  std::vector<uint8_t> bytes(size);
  Read(address, bytes);
  return bytes;
}

void Engine::Fill(uint32_t address, uint32_t size, uint8_t value) {
  std::vector<uint8_t> bytes(size, value);
  Write(address, bytes);
}

void Engine::Write8(uint32_t address, uint8_t value) { Write(address, {&value, 1}); }

void Engine::Write16(uint32_t address, uint16_t value) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  Write(address, bytes);
}

void Engine::Write32(uint32_t address, uint32_t value) {
  uint8_t bytes[4];
  for (unsigned i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  Write(address, bytes);
}

uint8_t Engine::Read8(uint32_t address) const {
  uint8_t value = 0;
  Read(address, {&value, 1});
  return value;
}

uint16_t Engine::Read16(uint32_t address) const {
  uint8_t bytes[2];
  Read(address, bytes);
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t Engine::Read32(uint32_t address) const {
  uint8_t bytes[4];
  Read(address, bytes);
  uint32_t value = 0;
  for (unsigned i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  }
  return value;
}

uint32_t Engine::Reg(int reg) const {
  uint32_t value = 0;
  Check(uc_reg_read(uc_, reg, &value), "uc_reg_read");
  return value;
}

void Engine::SetReg(int reg, uint32_t value) {
  Check(uc_reg_write(uc_, reg, &value), "uc_reg_write");
}

void Engine::SetIdtr(uint32_t base, uint16_t limit) {
  uc_x86_mmr idtr{};
  idtr.base = base;
  idtr.limit = limit;
  Check(uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr), "uc_reg_write(IDTR)");
}

uc_err Engine::Start(uint32_t begin, uint32_t until, uint64_t timeout_us) {
  if (timeout_us == 0) {
    return uc_emu_start(uc_, begin, until, 0, 0);
  }
  // Unicorn's own timeout runs a helper thread that wakes every few
  // microseconds for as long as the emulation runs; on a busy machine that
  // costs about as much as the emulation itself. This watchdog sleeps until
  // the deadline (or the end of the run) and stops the engine the same way,
  // with uc_emu_stop from its own thread.
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, std::chrono::microseconds(timeout_us), [&] { return done; })) {
      uc_emu_stop(uc_);
    }
  });
  uc_err err = uc_emu_start(uc_, begin, until, 0, 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_one();
  watchdog.join();
  return err;
}

void Engine::Stop() { Check(uc_emu_stop(uc_), "uc_emu_stop"); }

Hook::~Hook() { Reset(); }

Hook::Hook(Hook&& other) noexcept
    : uc_(std::exchange(other.uc_, nullptr)), handle_(std::exchange(other.handle_, 0)) {}

Hook& Hook::operator=(Hook&& other) noexcept {
  if (this != &other) {
    Reset();
    uc_ = std::exchange(other.uc_, nullptr);
    handle_ = std::exchange(other.handle_, 0);
  }
  return *this;
}

void Hook::Reset() {
  if (uc_ != nullptr) {
    uc_hook_del(uc_, handle_);
    uc_ = nullptr;
    handle_ = 0;
  }
}

Hook Hook::Code(Engine& engine, uc_cb_hookcode_t callback, void* user, uint64_t begin,
                uint64_t end) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, UC_HOOK_CODE, reinterpret_cast<void*>(callback), user,
                    begin, end),
        "uc_hook_add(code)");
  return {engine.get(), handle};
}

Hook Hook::Memory(Engine& engine, int types, uc_cb_hookmem_t callback, void* user, uint64_t begin,
                  uint64_t end) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, types, reinterpret_cast<void*>(callback), user, begin,
                    end),
        "uc_hook_add(memory)");
  return {engine.get(), handle};
}

Hook Hook::MemInvalid(Engine& engine, int types, uc_cb_eventmem_t callback, void* user) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, types, reinterpret_cast<void*>(callback), user, 1, 0),
        "uc_hook_add(memory)");
  return {engine.get(), handle};
}

Hook Hook::PortIn(Engine& engine, uc_cb_insn_in_t callback, void* user) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, UC_HOOK_INSN, reinterpret_cast<void*>(callback), user,
                    1, 0, UC_X86_INS_IN),
        "uc_hook_add(IN)");
  return {engine.get(), handle};
}

Hook Hook::PortOut(Engine& engine, uc_cb_insn_out_t callback, void* user) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, UC_HOOK_INSN, reinterpret_cast<void*>(callback), user,
                    1, 0, UC_X86_INS_OUT),
        "uc_hook_add(OUT)");
  return {engine.get(), handle};
}

Hook Hook::Interrupt(Engine& engine, uc_cb_hookintr_t callback, void* user) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, UC_HOOK_INTR, reinterpret_cast<void*>(callback), user,
                    1, 0),
        "uc_hook_add(interrupt)");
  return {engine.get(), handle};
}

Hook Hook::InvalidInstruction(Engine& engine, uc_cb_hookinsn_invalid_t callback, void* user) {
  uc_hook handle = 0;
  Check(uc_hook_add(engine.get(), &handle, UC_HOOK_INSN_INVALID,
                    reinterpret_cast<void*>(callback), user, 1, 0),
        "uc_hook_add(invalid instruction)");
  return {engine.get(), handle};
}

}  // namespace emu
