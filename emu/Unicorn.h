// Owning wrappers around the Unicorn C API for a 32-bit x86 guest: the engine
// handle, hooks and memory-mapped I/O windows are released in the right order
// by their destructors, every call is checked, and guest memory and registers
// are read and written through typed helpers.
#ifndef CLOCKRAMP_EMU_UNICORN_H_
#define CLOCKRAMP_EMU_UNICORN_H_

#include <unicorn/unicorn.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace emu {

// A Unicorn call that failed, or a guest image or set-up that cannot be run.
class EmuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws EmuError naming `what` and Unicorn's own message unless `err` is UC_ERR_OK.
void Check(uc_err err, const char* what);

// A 32-bit x86 engine (flat protected mode, paging off). Movable, not copyable.
class Engine {
 public:
  Engine();
  ~Engine();
  Engine(Engine&& other) noexcept;
  Engine& operator=(Engine&& other) noexcept;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  [[nodiscard]] uc_engine* get() const { return uc_; }

  // Maps [address, address + size) with UC_PROT_* permissions; both page-aligned.
  void Map(uint32_t address, uint32_t size, uint32_t perms);
  // Maps a window whose reads and writes go to the callbacks, with their widths.
  void MapMmio(uint32_t address, uint32_t size, uc_cb_mmio_read_t read, uc_cb_mmio_write_t write,
               void* user);
  void Protect(uint32_t address, uint32_t size, uint32_t perms);

  // Guest memory, ignoring the page permissions (the host side may write anywhere mapped).
  void Write(uint32_t address, std::span<const uint8_t> bytes);
  void Read(uint32_t address, std::span<uint8_t> bytes) const;
  [[nodiscard]] std::vector<uint8_t> Read(uint32_t address, size_t size) const;
  void Fill(uint32_t address, uint32_t size, uint8_t value);
  void Write8(uint32_t address, uint8_t value);
  void Write16(uint32_t address, uint16_t value);
  void Write32(uint32_t address, uint32_t value);
  [[nodiscard]] uint8_t Read8(uint32_t address) const;
  [[nodiscard]] uint16_t Read16(uint32_t address) const;
  [[nodiscard]] uint32_t Read32(uint32_t address) const;

  [[nodiscard]] uint32_t Reg(int reg) const;
  void SetReg(int reg, uint32_t value);
  // Loads IDTR (base and limit), as the Foundation leaves it for SIDT.
  void SetIdtr(uint32_t base, uint16_t limit);

  // Runs from `begin` until `until` is reached, a hook stops the engine, a
  // fault, or `timeout_us` (0: none) passes. Returns Unicorn's status, unchecked:
  // success does not mean that `until` was reached.
  uc_err Start(uint32_t begin, uint32_t until, uint64_t timeout_us);
  void Stop();

 private:
  uc_engine* uc_ = nullptr;
};

// One registered hook, removed when destroyed. Must not outlive its Engine
// (declare it after the Engine it hooks).
class Hook {
 public:
  Hook() = default;
  ~Hook();
  Hook(Hook&& other) noexcept;
  Hook& operator=(Hook&& other) noexcept;
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;

  // Code hook over [begin, end] (inclusive); begin > end hooks everything.
  static Hook Code(Engine& engine, uc_cb_hookcode_t callback, void* user, uint64_t begin,
                   uint64_t end);
  // Hook on valid memory accesses (UC_HOOK_MEM_READ/WRITE bits of `types`)
  // over [begin, end] (inclusive), called before the access with its full size.
  static Hook Memory(Engine& engine, int types, uc_cb_hookmem_t callback, void* user,
                     uint64_t begin, uint64_t end);
  // Hook on invalid memory accesses (UC_HOOK_MEM_* bits of `types`).
  static Hook MemInvalid(Engine& engine, int types, uc_cb_eventmem_t callback, void* user);
  static Hook PortIn(Engine& engine, uc_cb_insn_in_t callback, void* user);
  static Hook PortOut(Engine& engine, uc_cb_insn_out_t callback, void* user);
  static Hook Interrupt(Engine& engine, uc_cb_hookintr_t callback, void* user);
  static Hook InvalidInstruction(Engine& engine, uc_cb_hookinsn_invalid_t callback, void* user);

  [[nodiscard]] bool active() const { return uc_ != nullptr; }
  void Reset();

 private:
  Hook(uc_engine* uc, uc_hook handle) : uc_(uc), handle_(handle) {}
  uc_engine* uc_ = nullptr;
  uc_hook handle_ = 0;
};

}  // namespace emu

#endif  // CLOCKRAMP_EMU_UNICORN_H_
