// The boundary between the module's host platform layer and the simulated
// board: every port, memory-mapped and processor access the module makes on
// the host arrives here, on the board that is current for this thread.
#ifndef CLOCKRAMP_BOARD_HOSTBUS_H_
#define CLOCKRAMP_BOARD_HOSTBUS_H_

#include <cstdint>

namespace board {

// What the host platform layer forwards to. Widths are in bits (8, 16, 32).
class HostBus {
 public:
  virtual ~HostBus() = default;
  virtual void IoWrite(uint16_t port, unsigned width, uint32_t value) = 0;
  virtual uint32_t IoRead(uint16_t port, unsigned width) = 0;
  virtual void MmioWrite(uint64_t address, unsigned width, uint32_t value) = 0;
  virtual uint32_t MmioRead(uint64_t address, unsigned width) = 0;
  // SIDT: returns the IDT base (a host address on the native engine) and its limit.
  virtual uint64_t ReadIdtr(uint16_t& limit) = 0;
  virtual void Pause() = 0;
  // True once the board has stopped the run (a hang); the native forwarder
  // then unwinds the module with RunStopped. A plain flag, not a virtual
  // call: the forwarder asks after every access.
  [[nodiscard]] bool Stopped() const { return stopped_; }

 protected:
  // Stops the run; it stays stopped.
  void MarkStopped() { stopped_ = true; }

 private:
  bool stopped_ = false;
};

// Thrown through the module's frames on the native engine when the board
// stops the run. Never thrown on the IA-32 engine.
struct RunStopped {};

// The bus of the current thread, or nullptr.
HostBus* CurrentHostBus();

// Makes a bus current for the lifetime of the scope (scopes nest).
class HostBusScope {
 public:
  explicit HostBusScope(HostBus& bus);
  ~HostBusScope();
  HostBusScope(const HostBusScope&) = delete;
  HostBusScope& operator=(const HostBusScope&) = delete;

 private:
  HostBus* previous_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_HOSTBUS_H_
