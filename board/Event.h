// One access at the platform boundary, as the trace keeps it. Events are
// small fixed structs (a kind, an operation and a few numbers); only the rare
// kinds (PEI calls with a GUID or name, a hang, the final state) carry a
// shared detail record, so that a trace of millions of timer polls stays cheap.
#ifndef CLOCKRAMP_BOARD_EVENT_H_
#define CLOCKRAMP_BOARD_EVENT_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Declarations only: the trace writers and tests that build JSON include
// <nlohmann/json.hpp> themselves, the rest of the board does not parse it.
#include <nlohmann/json_fwd.hpp>

#include "board/Guid.h"

namespace board {

enum class EventKind : uint8_t { Call, Return, Pei, Pcd, Smbus, Io, Mmio, Cpu, Hang, State };

// Module functions whose call and return the engine records.
enum class Function : uint8_t { ClockRampEntry, ClockRampNotify };

// PEI services and variable PPI functions.
enum class PeiCall : uint8_t {
  LocatePpi,
  NotifyPpi,
  GetVariable,
  InstallPpi,
  ReInstallPpi,
  NextVariableName
};

enum class IoOp : uint8_t { In, Out };
enum class MmioOp : uint8_t { Read, Write };
enum class CpuOp : uint8_t { Sidt, Pause };

// EFI_SMBUS_OPERATION values.
enum class SmbusOperation : uint8_t {
  QuickRead = 0,
  QuickWrite = 1,
  ReceiveByte = 2,
  SendByte = 3,
  ReadByte = 4,
  WriteByte = 5,
  ReadWord = 6,
  WriteWord = 7,
  ReadBlock = 8,
  WriteBlock = 9,
  ProcessCall = 10,
  BWBRProcessCall = 11
};

// Name of an operation in the trace ("readBlock"); "operation<N>" beyond the enum.
std::string SmbusOperationName(uint8_t operation);

// The board at the end of a run, as the "state" line shows it.
struct StateSnapshot {
  std::array<uint8_t, 256> clockGenerator{};
  bool guardArmed = false;
  uint8_t superIoSelected = 0;
  // Logical device -> register (0x30 and up) -> value, for registers set or written.
  std::map<uint8_t, std::map<uint8_t, uint8_t>> superIoRegisters;
  uint16_t acpiBase = 0;
  uint8_t acpiControl = 0;
  std::vector<uint8_t> post;

  bool operator==(const StateSnapshot&) const = default;
};

// The variable-size parts of an event, shared between copies: SMBus data
// bytes, a GUID, a variable name or hang reason, the final state.
struct EventDetail {
  std::vector<uint8_t> data;                   // smbus
  Guid guid;                                   // LocatePpi, GetVariable
  std::string text;                            // GetVariable name (UTF-8), hang reason
  std::shared_ptr<const StateSnapshot> state;  // state

  bool operator==(const EventDetail& other) const;
};

// One trace line: 56 bytes, plus a shared detail record for the kinds that
// need one. Field use by kind:
//   call/return: op = Function, status (return)
//   pei:   op = PeiCall, status; LocatePpi: guid, address = instance;
//          GetVariable: text = name, guid, length = size passed, value = dataSize back
//   pcd:   address = token, value
//   smbus: op = operation, address, value = command, length = Length passed, data, status
//   io:    op = IoOp, address = port, width, value
//   mmio:  op = MmioOp, address, width, value
//   cpu:   op = CpuOp;  hang: text = reason;  state: state
struct Event {
  uint64_t t = 0;
  uint64_t address = 0;
  uint64_t value = 0;
  uint32_t length = 0;
  uint32_t status = 0;
  EventKind kind = EventKind::Io;
  uint8_t op = 0;
  uint8_t width = 0;
  std::shared_ptr<const EventDetail> detail;

  // The detail's parts; empty values when the event has none.
  [[nodiscard]] const std::vector<uint8_t>& Data() const;
  [[nodiscard]] const Guid& PeiGuid() const;
  [[nodiscard]] const std::string& Text() const;
  [[nodiscard]] const StateSnapshot& Snapshot() const;

  bool operator==(const Event& other) const;

  // Builders, one per trace line shape.
  static Event Call(uint64_t t, Function fn);
  static Event Return(uint64_t t, Function fn, uint32_t status);
  static Event LocatePpi(uint64_t t, const Guid& guid, uint64_t instance, uint32_t status);
  static Event NotifyPpi(uint64_t t, uint32_t status);
  static Event GetVariable(uint64_t t, std::string name, const Guid& guid, uint64_t size,
                           uint32_t status, uint64_t dataSize);
  static Event OtherPei(uint64_t t, PeiCall call, uint32_t status);
  static Event Pcd(uint64_t t, uint64_t token, uint64_t value);
  static Event Smbus(uint64_t t, SmbusOperation op, uint64_t address, uint64_t command,
                     uint64_t length, std::vector<uint8_t> data, uint32_t status);
  static Event Smbus(uint64_t t, uint8_t rawOp, uint64_t address, uint64_t command, uint64_t length,
                     std::vector<uint8_t> data, uint32_t status);
  static Event Io(uint64_t t, IoOp op, uint16_t port, unsigned width, uint32_t value);
  static Event Mmio(uint64_t t, MmioOp op, uint64_t address, unsigned width, uint32_t value);
  static Event Cpu(uint64_t t, CpuOp op);
  static Event Hang(uint64_t t, std::string reason);
  static Event State(uint64_t t, StateSnapshot state);
};

// The trace line of an event, keys in reading order ("t", "ev", then the rest).
nlohmann::ordered_json ToOrderedJson(const Event& event);
// The same object as a plain nlohmann::json.
nlohmann::json ToJson(const Event& event);

}  // namespace board

#endif  // CLOCKRAMP_BOARD_EVENT_H_
