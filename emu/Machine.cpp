#include "emu/Machine.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

namespace emu {

namespace {

constexpr uint8_t kRet = 0xC3;
constexpr uint8_t kInt3 = 0xCC;
constexpr uint16_t kPostPort = 0x80;
constexpr uint8_t kPostStepBegin = 0xC4;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

Machine& Self(void* user) { return *static_cast<Machine*>(user); }

}  // namespace

Machine::Machine(board::HostBus& bus, const Options& options) : bus_(bus), options_(options) {
  using namespace memmap;
  // Foundation data and the IDT are read-only to the guest; the host side
  // writes them (and the guest's out-parameters) with uc_mem_write, which
  // ignores the permissions.
  engine_.Map(kFoundationBase, kFoundationSize, UC_PROT_READ);
  engine_.Map(kIdtBase, kIdtSize, UC_PROT_READ);
  engine_.Map(kStubBase, kStubSize, UC_PROT_READ | UC_PROT_EXEC);
  engine_.Fill(kStubBase, kStubSize, kInt3);
  engine_.Map(kStackBase, kStackSize, UC_PROT_READ | UC_PROT_WRITE);
  engine_.Map(kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC);
  engine_.Fill(kFlashBase, kFlashSize, 0xFF);
  for (auto [base, size] : options_.mmio_windows) {
    MapMmioWindow(base, size);
    mmio_checks_.push_back(Hook::Memory(engine_, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                                        &Machine::OnMmioAccess, this, base,
                                        uint64_t{base} + size - 1));
  }
  engine_.SetIdtr(kIdtBase, kIdtLimit);

  port_in_ = Hook::PortIn(engine_, &Machine::OnPortIn, this);
  port_out_ = Hook::PortOut(engine_, &Machine::OnPortOut, this);
  stubs_hook_ = Hook::Code(engine_, &Machine::OnStub, this, kStubBase, kStubBase + kStubSize - 1);
  if (options_.measure) {
    count_hook_ = Hook::Code(engine_, &Machine::OnInstruction, this, 1, 0);
  }
  bad_memory_ = Hook::MemInvalid(engine_, UC_HOOK_MEM_INVALID, &Machine::OnBadMemory, this);
  interrupt_ = Hook::Interrupt(engine_, &Machine::OnInterrupt, this);
  invalid_instruction_ =
      Hook::InvalidInstruction(engine_, &Machine::OnInvalidInstruction, this);

  return_stub_ = AddStub("return", [](Machine&) {});
}

Machine::~Machine() = default;

void Machine::MapMmioWindow(uint32_t base, uint32_t size) {
  mmio_windows_.push_back(std::make_unique<MmioWindow>(MmioWindow{this, base}));
  engine_.MapMmio(base, size, &Machine::OnMmioRead, &Machine::OnMmioWrite,
                  mmio_windows_.back().get());
}

std::vector<std::pair<uint32_t, uint32_t>> Machine::ClearWindows(uint64_t base, uint64_t size) {
  using namespace memmap;
  constexpr uint64_t kPage = kPageSize;
  constexpr uint64_t kTop = uint64_t{1} << 32;
  // The fixed regions, in address order, each page-aligned.
  const std::pair<uint64_t, uint64_t> fixed[] = {
      {kFoundationBase, kStubBase + kStubSize},
      {kStackBase, kStackTop},
      {kFlashBase, kFlashEnd},
  };
  uint64_t begin = base & ~(kPage - 1);
  uint64_t end = std::min(kTop, (base + size + kPage - 1) & ~(kPage - 1));
  std::vector<std::pair<uint32_t, uint32_t>> windows;
  for (auto [fixed_begin, fixed_end] : fixed) {
    if (begin >= end) {
      break;
    }
    if (fixed_end <= begin) {
      continue;
    }
    if (fixed_begin > begin) {
      uint64_t piece_end = std::min(end, fixed_begin);
      windows.emplace_back(static_cast<uint32_t>(begin), static_cast<uint32_t>(piece_end - begin));
    }
    begin = std::max(begin, fixed_end);
  }
  if (begin < end) {
    windows.emplace_back(static_cast<uint32_t>(begin), static_cast<uint32_t>(end - begin));
  }
  return windows;
}

void Machine::MapImageWindow(uint32_t base, uint32_t size) {
  using namespace memmap;
  const uint64_t end = uint64_t{base} + size;
  if (base >= kFlashBase && end <= kFlashEnd) {
    return;
  }
  const uint64_t begin = base & ~uint64_t{kPageSize - 1};
  const uint64_t page_end = (end + kPageSize - 1) & ~uint64_t{kPageSize - 1};
  const auto windows = ClearWindows(begin, page_end - begin);
  const bool clear =
      windows.size() == 1 && windows[0].first == begin && windows[0].second == page_end - begin;
  const bool on_device = std::any_of(
      options_.mmio_windows.begin(), options_.mmio_windows.end(),
      [&](const auto& w) { return begin < uint64_t{w.first} + w.second && w.first < page_end; });
  // Nothing may be mapped in the first MiB, where a null or small bad pointer must fault.
  if (size == 0 || begin < kFoundationBase || page_end > (uint64_t{1} << 32) || !clear ||
      on_device) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "an image at 0x%X (0x%X bytes) overlaps another region of the memory map", base,
                  size);
    throw EmuError(text);
  }
  engine_.Map(static_cast<uint32_t>(begin), static_cast<uint32_t>(page_end - begin),
              UC_PROT_READ | UC_PROT_EXEC);
  engine_.Fill(static_cast<uint32_t>(begin), static_cast<uint32_t>(page_end - begin), 0xFF);
}

uint32_t Machine::AddStub(std::string name, StubHandler handler) {
  auto index = static_cast<uint32_t>(stubs_.size());
  if ((index + 1) * memmap::kStubSpacing > memmap::kStubSize) {
    throw EmuError("too many Foundation stubs");
  }
  uint32_t address = memmap::kStubBase + index * memmap::kStubSpacing;
  engine_.Write8(address, kRet);
  stubs_.push_back({std::move(name), std::move(handler)});
  return address;
}

uint32_t Machine::AddUnexpectedStub(const std::string& name) {
  return AddStub(name, [name](Machine& m) {
    uint32_t caller = m.engine().Read32(m.engine().Reg(UC_X86_REG_ESP));
    m.Fail(caller, "unexpected call to " + name + " from " + m.Describe(caller));
  });
}

uint32_t Machine::AllocateData(uint32_t size, uint32_t align) {
  uint32_t address = (next_data_ + align - 1) & ~(align - 1);
  if (address + size > memmap::kServicesPointerSlot) {
    throw EmuError("Foundation data does not fit below the services pointer");
  }
  next_data_ = address + size;
  return address;
}

uint32_t Machine::Arg(unsigned index) const {
  // At a stub, [ESP] is the return address and the arguments follow.
  return engine_.Read32(engine_.Reg(UC_X86_REG_ESP) + 4 + 4 * index);
}

void Machine::SetResult(uint32_t eax, uint32_t edx) {
  engine_.SetReg(UC_X86_REG_EAX, eax);
  engine_.SetReg(UC_X86_REG_EDX, edx);
}

bool Machine::WriteGuest(uint32_t address, std::span<const uint8_t> bytes, const char* what) {
  uint64_t end = uint64_t{address} + bytes.size();
  if (address < memmap::kStackBase || end > memmap::kStackTop) {
    Fail(address, std::string("the Foundation was asked to write ") + what + " (" +
                      std::to_string(bytes.size()) + " byte(s)) at " + Describe(address) +
                      ", outside guest RAM");
    return false;
  }
  engine_.Write(address, bytes);
  return true;
}

bool Machine::WriteGuest32(uint32_t address, uint32_t value, const char* what) {
  uint8_t bytes[4];
  for (unsigned i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return WriteGuest(address, bytes, what);
}

bool Machine::ReadGuest(uint32_t address, std::span<uint8_t> bytes, const char* what) {
  if (bytes.empty()) {
    return true;
  }
  if (uc_mem_read(engine_.get(), address, bytes.data(), bytes.size()) != UC_ERR_OK) {
    Fail(address, std::string("the Foundation was handed a bad pointer to ") + what + ": " +
                      Describe(address));
    return false;
  }
  return true;
}

void Machine::Fail(uint32_t address, std::string what) {
  if (!fault_) {
    fault_ = Fault{address, engine_.Reg(UC_X86_REG_EIP), std::move(what)};
  }
  engine_.Stop();
}

std::string Machine::Describe(uint32_t address) const {
  std::string text = Hex(address);
  if (describe_) {
    std::string where = describe_(address);
    if (!where.empty()) {
      text += " (" + where + ")";
    }
  }
  return text;
}

uint32_t Machine::StackHighWater() const {
  std::vector<uint8_t> stack = engine_.Read(memmap::kStackBase, memmap::kStackSize);
  auto first = std::find_if(stack.begin(), stack.end(),
                            [](uint8_t byte) { return byte != memmap::kStackPattern; });
  return static_cast<uint32_t>(stack.end() - first);
}

std::optional<uint32_t> Machine::ReadGuest32(uint32_t address, const char* what) {
  uint8_t bytes[4];
  if (!ReadGuest(address, bytes, what)) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16)) |
         (static_cast<uint32_t>(bytes[3]) << 24);
}

CallResult Machine::Call(uint32_t function, const std::vector<uint32_t>& args,
                         uint64_t timeout_us) {
  using namespace memmap;
  if (in_call_) {
    throw EmuError("Machine::Call is not reentrant");
  }
  CallResult result;
  if (stopped_ || fault_) {
    result.end = fault_ ? CallEnd::kFault : CallEnd::kStopped;
    return result;
  }
  in_call_ = true;
  engine_.Fill(kStackBase, kStackSize, kStackPattern);
  // The arguments sit right below the stack top, the return address below them.
  uint32_t esp = kStackTop - static_cast<uint32_t>(4 * (args.size() + 1));
  engine_.Write32(esp, return_stub_);
  for (size_t i = 0; i < args.size(); ++i) {
    engine_.Write32(esp + 4 + static_cast<uint32_t>(4 * i), args[i]);
  }
  engine_.SetReg(UC_X86_REG_ESP, esp);
  engine_.SetReg(UC_X86_REG_EBP, 0);
  engine_.SetReg(UC_X86_REG_EFLAGS, 0x2);  // interrupts off, direction flag clear

  uint64_t instructions_before = instructions_;
  uint64_t pauses_before = pauses_;
  uc_err err = engine_.Start(function, return_stub_, timeout_us);
  uint32_t eip = engine_.Reg(UC_X86_REG_EIP);
  in_call_ = false;

  result.eax = engine_.Reg(UC_X86_REG_EAX);
  result.edx = engine_.Reg(UC_X86_REG_EDX);
  result.instructions = instructions_ - instructions_before;
  result.pauses = pauses_ - pauses_before;
  result.stack_bytes = StackHighWater();

  if (fault_) {
    result.end = CallEnd::kFault;
  } else if (stopped_) {
    result.end = CallEnd::kStopped;
  } else if (err != UC_ERR_OK) {
    fault_ = Fault{eip, eip, std::string(uc_strerror(err)) + " at " + Describe(eip)};
    result.end = CallEnd::kFault;
  } else if (eip == return_stub_ &&
             engine_.Reg(UC_X86_REG_ESP) == kStackTop - 4 * args.size()) {
    result.end = CallEnd::kReturned;
  } else if (eip == return_stub_) {
    fault_ = Fault{eip, eip, "returned to the Foundation with an unbalanced stack"};
    result.end = CallEnd::kFault;
  } else {
    // Unicorn reports success after a timeout too: the call is not over.
    result.end = CallEnd::kTimeout;
  }
  return result;
}

void Machine::CheckStopped() {
  if (!stopped_ && bus_.Stopped()) {
    stopped_ = true;
    engine_.Stop();
  }
}

uint32_t Machine::OnPortIn(uc_engine*, uint32_t port, int size, void* user) {
  Machine& m = Self(user);
  auto width = static_cast<unsigned>(size) * 8;
  if (m.stopped_) {
    // The rest of the translation block may still run after a stop request;
    // the board sees nothing more, as on the native engine.
    return width == 32 ? 0xFFFFFFFFU : (1U << width) - 1;
  }
  uint32_t value = m.bus_.IoRead(static_cast<uint16_t>(port), width);
  m.CheckStopped();
  return value;
}

void Machine::OnPortOut(uc_engine*, uint32_t port, int size, uint32_t value, void* user) {
  Machine& m = Self(user);
  if (m.stopped_) {
    return;
  }
  auto width = static_cast<unsigned>(size) * 8;
  if (port == kPostPort && width == 8 && (value & 0xFF) == kPostStepBegin) {
    m.step_marks_.push_back(m.instructions_);
  }
  m.bus_.IoWrite(static_cast<uint16_t>(port), width, value);
  m.CheckStopped();
}

void Machine::OnMmioAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                           void* user) {
  // Called before the access with its true size. Unicorn would split a
  // misaligned access into pieces (or widen a read), which no bus does:
  // stop instead, before any piece reaches the board.
  Machine& m = Self(user);
  if (size > 1 && address % static_cast<uint64_t>(size) != 0) {
    m.Fail(static_cast<uint32_t>(address),
           std::string("misaligned ") + std::to_string(size) + "-byte memory-mapped " +
               (type == UC_MEM_WRITE ? "write" : "read") + " at " +
               m.Describe(static_cast<uint32_t>(address)));
  }
}

uint64_t Machine::OnMmioRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
  auto& window = *static_cast<MmioWindow*>(user);
  Machine& m = *window.machine;
  unsigned width = size * 8;
  if (m.stopped_ || m.fault_) {
    return width >= 32 ? 0xFFFFFFFFU : (1U << width) - 1;
  }
  uint32_t value = m.bus_.MmioRead(window.base + offset, width);
  m.CheckStopped();
  return value;
}

void Machine::OnMmioWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value,
                          void* user) {
  auto& window = *static_cast<MmioWindow*>(user);
  Machine& m = *window.machine;
  if (m.stopped_ || m.fault_) {
    return;
  }
  m.bus_.MmioWrite(window.base + offset, size * 8, static_cast<uint32_t>(value));
  m.CheckStopped();
}

void Machine::OnStub(uc_engine*, uint64_t address, uint32_t, void* user) {
  Machine& m = Self(user);
  uint64_t offset = address - memmap::kStubBase;
  if (offset % memmap::kStubSpacing != 0) {
    return;  // an INT3 of the padding: the interrupt hook reports it
  }
  uint64_t index = offset / memmap::kStubSpacing;
  if (index >= m.stubs_.size() || m.stopped_ || m.fault_) {
    return;
  }
  try {
    m.stubs_[index].handler(m);
  } catch (const std::exception& error) {
    // Nothing may be thrown through Unicorn's C frames.
    m.Fail(static_cast<uint32_t>(address), m.stubs_[index].name + ": " + error.what());
  }
}

void Machine::OnInstruction(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
  Machine& m = Self(user);
  ++m.instructions_;
  // PAUSE is F3 90; Unicorn runs it as a plain no-op and offers no hook for it.
  if (size == 2) {
    uint8_t bytes[2] = {0, 0};
    if (uc_mem_read(uc, address, bytes, 2) == UC_ERR_OK && bytes[0] == 0xF3 && bytes[1] == 0x90) {
      ++m.pauses_;
    }
  }
}

bool Machine::OnBadMemory(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t,
                          void* user) {
  Machine& m = Self(user);
  uint32_t eip = 0;
  uc_reg_read(uc, UC_X86_REG_EIP, &eip);
  const char* kind = "access";
  switch (type) {
    case UC_MEM_WRITE_PROT:
      kind = "write to read-only memory";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      kind = "write to unmapped memory";
      break;
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
      kind = "read of unmapped memory";
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      kind = "execution of non-code memory";
      break;
    default:
      break;
  }
  auto addr = static_cast<uint32_t>(address);
  if (!m.fault_) {
    m.fault_ = Fault{addr, eip,
                     std::string(kind) + ": " + std::to_string(size) + " byte(s) at " +
                         m.Describe(addr) + " by the instruction at " + m.Describe(eip)};
  }
  return false;  // Unicorn stops the run with the matching error
}

void Machine::OnInterrupt(uc_engine*, uint32_t number, void* user) {
  Machine& m = Self(user);
  uint32_t eip = m.engine_.Reg(UC_X86_REG_EIP);
  m.Fail(eip, "CPU exception or interrupt " + std::to_string(number) + " near " + m.Describe(eip));
}

bool Machine::OnInvalidInstruction(uc_engine*, void* user) {
  Machine& m = Self(user);
  uint32_t eip = m.engine_.Reg(UC_X86_REG_EIP);
  m.Fail(eip, "invalid instruction at " + m.Describe(eip));
  return false;
}

}  // namespace emu
