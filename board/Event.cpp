#include "board/Event.h"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

namespace board {
namespace {

using Json = nlohmann::ordered_json;

const std::array<const char*, 12> kSmbusOperationNames = {
    "quickRead", "quickWrite", "receiveByte", "sendByte",   "readByte",    "writeByte",
    "readWord",  "writeWord",  "readBlock",   "writeBlock", "processCall", "bwbrProcessCall"};

const char* FunctionName(uint8_t fn) {
  return fn == static_cast<uint8_t>(Function::ClockRampEntry) ? "ClockRampEntry"
                                                              : "ClockRampNotify";
}

const char* PeiCallName(uint8_t call) {
  static const std::array<const char*, 6> kNames = {
      "LocatePpi", "NotifyPpi", "GetVariable", "InstallPpi", "ReInstallPpi", "NextVariableName"};
  return call < kNames.size() ? kNames[call] : "unknown";
}

// Makes an event of a kind with its time and operation.
Event Make(uint64_t t, EventKind kind, uint8_t op) {
  Event e;
  e.t = t;
  e.kind = kind;
  e.op = op;
  return e;
}

// A shared detail record with a GUID and a text.
std::shared_ptr<const EventDetail> NamedDetail(const Guid& guid, std::string text) {
  auto detail = std::make_shared<EventDetail>();
  detail->guid = guid;
  detail->text = std::move(text);
  return detail;
}

const EventDetail& NoDetail() {
  static const EventDetail kEmpty;
  return kEmpty;
}

// The "pei" line's fields for its call.
void AddPeiFields(const Event& e, Json& j) {
  j["call"] = PeiCallName(e.op);
  switch (static_cast<PeiCall>(e.op)) {
    case PeiCall::LocatePpi:
      j["guid"] = e.PeiGuid().ToString();
      j["instance"] = e.address;
      j["status"] = e.status;
      break;
    case PeiCall::GetVariable:
      j["name"] = e.Text();
      j["guid"] = e.PeiGuid().ToString();
      j["size"] = e.length;
      j["status"] = e.status;
      j["dataSize"] = e.value;
      break;
    default:
      j["status"] = e.status;
      break;
  }
}

// The "state" line's fields.
void AddStateFields(const StateSnapshot& s, Json& j) {
  j["clockGenerator"] = s.clockGenerator;
  j["guardArmed"] = s.guardArmed;
  Json registers = Json::object();
  for (const auto& [device, regs] : s.superIoRegisters) {
    Json values = Json::object();
    for (const auto& [reg, value] : regs) {
      values[std::to_string(reg)] = value;
    }
    registers[std::to_string(device)] = values;
  }
  j["superIo"] = {{"selected", s.superIoSelected}, {"registers", registers}};
  j["platformController"] = {{"acpiBase", s.acpiBase}, {"acpiControl", s.acpiControl}};
  j["post"] = s.post;
}

// The fields that follow "t" and "ev" for each kind.
void AddFields(const Event& e, Json& j) {
  switch (e.kind) {
    case EventKind::Call:
      j["fn"] = FunctionName(e.op);
      break;
    case EventKind::Return:
      j["fn"] = FunctionName(e.op);
      j["status"] = e.status;
      break;
    case EventKind::Pei:
      AddPeiFields(e, j);
      break;
    case EventKind::Pcd:
      j["call"] = "Get64";
      j["token"] = e.address;
      j["value"] = e.value;
      break;
    case EventKind::Smbus:
      j["op"] = SmbusOperationName(e.op);
      j["address"] = e.address;
      j["command"] = e.value;
      j["length"] = e.length;
      j["data"] = e.Data();
      j["status"] = e.status;
      break;
    case EventKind::Io:
    case EventKind::Mmio:
      if (e.kind == EventKind::Io) {
        j["op"] = e.op == static_cast<uint8_t>(IoOp::In) ? "in" : "out";
        j["port"] = e.address;
      } else {
        j["op"] = e.op == static_cast<uint8_t>(MmioOp::Read) ? "read" : "write";
        j["address"] = e.address;
      }
      j["width"] = e.width;
      j["value"] = e.value;
      break;
    case EventKind::Cpu:
      j["op"] = e.op == static_cast<uint8_t>(CpuOp::Sidt) ? "sidt" : "pause";
      break;
    case EventKind::Hang:
      j["reason"] = e.Text();
      break;
    case EventKind::State:
      AddStateFields(e.Snapshot(), j);
      break;
  }
}

const char* KindName(EventKind kind) {
  static const std::array<const char*, 10> kNames = {"call", "return", "pei", "pcd",  "smbus",
                                                     "io",   "mmio",   "cpu", "hang", "state"};
  return kNames[static_cast<size_t>(kind)];
}

}  // namespace

std::string SmbusOperationName(uint8_t operation) {
  if (operation < kSmbusOperationNames.size()) {
    return kSmbusOperationNames[operation];
  }
  return "operation" + std::to_string(operation);
}

bool Event::operator==(const Event& other) const {
  bool sameDetail = detail == other.detail ||
                    (detail != nullptr && other.detail != nullptr && *detail == *other.detail);
  return t == other.t && address == other.address && value == other.value &&
         length == other.length && status == other.status && kind == other.kind && op == other.op &&
         width == other.width && sameDetail;
}

bool EventDetail::operator==(const EventDetail& other) const {
  bool sameState = state == other.state ||
                   (state != nullptr && other.state != nullptr && *state == *other.state);
  return data == other.data && guid == other.guid && text == other.text && sameState;
}

const std::vector<uint8_t>& Event::Data() const { return (detail ? *detail : NoDetail()).data; }

const Guid& Event::PeiGuid() const { return (detail ? *detail : NoDetail()).guid; }

const std::string& Event::Text() const { return (detail ? *detail : NoDetail()).text; }

const StateSnapshot& Event::Snapshot() const {
  static const StateSnapshot kEmpty;
  return detail && detail->state ? *detail->state : kEmpty;
}

Event Event::Call(uint64_t t, Function fn) {
  return Make(t, EventKind::Call, static_cast<uint8_t>(fn));
}

Event Event::Return(uint64_t t, Function fn, uint32_t status) {
  Event e = Make(t, EventKind::Return, static_cast<uint8_t>(fn));
  e.status = status;
  return e;
}

Event Event::LocatePpi(uint64_t t, const Guid& guid, uint64_t instance, uint32_t status) {
  Event e = Make(t, EventKind::Pei, static_cast<uint8_t>(PeiCall::LocatePpi));
  e.address = instance;
  e.status = status;
  e.detail = NamedDetail(guid, {});
  return e;
}

Event Event::NotifyPpi(uint64_t t, uint32_t status) {
  return OtherPei(t, PeiCall::NotifyPpi, status);
}

Event Event::GetVariable(uint64_t t, std::string name, const Guid& guid, uint64_t size,
                         uint32_t status, uint64_t dataSize) {
  Event e = Make(t, EventKind::Pei, static_cast<uint8_t>(PeiCall::GetVariable));
  e.length = static_cast<uint32_t>(size);
  e.status = status;
  e.value = dataSize;
  e.detail = NamedDetail(guid, std::move(name));
  return e;
}

Event Event::OtherPei(uint64_t t, PeiCall call, uint32_t status) {
  Event e = Make(t, EventKind::Pei, static_cast<uint8_t>(call));
  e.status = status;
  return e;
}

Event Event::Pcd(uint64_t t, uint64_t token, uint64_t value) {
  Event e = Make(t, EventKind::Pcd, 0);
  e.address = token;
  e.value = value;
  return e;
}

Event Event::Smbus(uint64_t t, SmbusOperation op, uint64_t address, uint64_t command,
                   uint64_t length, std::vector<uint8_t> data, uint32_t status) {
  return Smbus(t, static_cast<uint8_t>(op), address, command, length, std::move(data), status);
}

Event Event::Smbus(uint64_t t, uint8_t rawOp, uint64_t address, uint64_t command, uint64_t length,
                   std::vector<uint8_t> data, uint32_t status) {
  Event e = Make(t, EventKind::Smbus, rawOp);
  e.address = address;
  e.value = command;
  e.length = static_cast<uint32_t>(length);
  if (!data.empty()) {
    auto detail = std::make_shared<EventDetail>();
    detail->data = std::move(data);
    e.detail = std::move(detail);
  }
  e.status = status;
  return e;
}

Event Event::Io(uint64_t t, IoOp op, uint16_t port, unsigned width, uint32_t value) {
  Event e = Make(t, EventKind::Io, static_cast<uint8_t>(op));
  e.address = port;
  e.width = static_cast<uint8_t>(width);
  e.value = value;
  return e;
}

Event Event::Mmio(uint64_t t, MmioOp op, uint64_t address, unsigned width, uint32_t value) {
  Event e = Make(t, EventKind::Mmio, static_cast<uint8_t>(op));
  e.address = address;
  e.width = static_cast<uint8_t>(width);
  e.value = value;
  return e;
}

Event Event::Cpu(uint64_t t, CpuOp op) { return Make(t, EventKind::Cpu, static_cast<uint8_t>(op)); }

Event Event::Hang(uint64_t t, std::string reason) {
  Event e = Make(t, EventKind::Hang, 0);
  e.detail = NamedDetail(Guid{}, std::move(reason));
  return e;
}

Event Event::State(uint64_t t, StateSnapshot state) {
  Event e = Make(t, EventKind::State, 0);
  auto detail = std::make_shared<EventDetail>();
  detail->state = std::make_shared<const StateSnapshot>(std::move(state));
  e.detail = std::move(detail);
  return e;
}

nlohmann::ordered_json ToOrderedJson(const Event& event) {
  Json j = Json::object();
  j["t"] = event.t;
  j["ev"] = KindName(event.kind);
  AddFields(event, j);
  return j;
}

nlohmann::json ToJson(const Event& event) { return nlohmann::json(ToOrderedJson(event)); }

}  // namespace board
