#include "board/NativeEngine.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "board/Status.h"
#include "module/ClockRampEntry.h"
#include "pei/PiDefs.h"

namespace board {

constexpr size_t kNativeIdtEntries = 256;

// Everything the module can reach, in one block: the services pointer the
// module is handed (and finds below the IDT), the table and the PPIs. The
// forwarders find the block, and so the Board, from the pointer they get.
struct NativePlatform {
  const EFI_PEI_SERVICES* servicesPointer;
  EFI_PEI_SERVICES services;
  EFI_PEI_READ_ONLY_VARIABLE2_PPI variable;
  EFI_PEI_SMBUS2_PPI smbus;
  PCD_PPI pcd;
  EFI_GUID variableGuid;
  EFI_GUID smbusGuid;
  EFI_GUID pcdGuid;
  EFI_PEI_PPI_DESCRIPTOR variableDescriptor;
  EFI_PEI_PPI_DESCRIPTOR smbusDescriptor;
  EFI_PEI_PPI_DESCRIPTOR pcdDescriptor;
  // Slot 0 holds the services pointer; the IDT proper starts at slot 1.
  UINTN idt[1 + kNativeIdtEntries];
  Board* board;
};

namespace {

constexpr UINT64 kPeiServicesSignature = 0x5652455320494550ULL;  // "PEI SERV"
constexpr size_t kMaxNotifyEntries = 64;  // a list without its terminator stops here
constexpr size_t kMaxNameChars = 4096;

// The block holding a member, from the member's address.
template <typename T>
NativePlatform& Owner(const T* member, size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(member) - offset;
  return *const_cast<NativePlatform*>(reinterpret_cast<const NativePlatform*>(bytes));
}

Board& FromServices(const EFI_PEI_SERVICES** services) {
  return *Owner(services, offsetof(NativePlatform, servicesPointer)).board;
}

// Unwinds the module once the board has stopped the run.
void ThrowIfStopped(const Board& board) {
  if (board.Stopped()) {
    throw RunStopped{};
  }
}

Guid ToGuid(const EFI_GUID* guid) {
  Guid g;
  if (guid != nullptr) {
    g.data1 = guid->Data1;
    g.data2 = guid->Data2;
    g.data3 = guid->Data3;
    std::memcpy(g.data4.data(), guid->Data4, sizeof guid->Data4);
  }
  return g;
}

EFI_GUID ToEfiGuid(const Guid& g) {
  EFI_GUID guid{g.data1, g.data2, g.data3, {}};
  std::memcpy(guid.Data4, g.data4.data(), sizeof guid.Data4);
  return guid;
}

template <typename T>
uint64_t Address(const T* pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

// ---- PEI services ----

EFI_STATUS EFIAPI NativeInstallPpi(const EFI_PEI_SERVICES** services,
                                   const EFI_PEI_PPI_DESCRIPTOR* /*list*/) {
  Board& board = FromServices(services);
  return board.UnmodelledPeiCall(PeiCall::InstallPpi, EFI_UNSUPPORTED);
}

EFI_STATUS EFIAPI NativeReInstallPpi(const EFI_PEI_SERVICES** services,
                                     const EFI_PEI_PPI_DESCRIPTOR* /*oldPpi*/,
                                     const EFI_PEI_PPI_DESCRIPTOR* /*newPpi*/) {
  Board& board = FromServices(services);
  return board.UnmodelledPeiCall(PeiCall::ReInstallPpi, EFI_UNSUPPORTED);
}

EFI_STATUS EFIAPI NativeLocatePpi(const EFI_PEI_SERVICES** services, const EFI_GUID* guid,
                                  UINTN instance, EFI_PEI_PPI_DESCRIPTOR** descriptor, VOID** ppi) {
  Board& board = FromServices(services);
  LocateResult found = board.LocatePpi(ToGuid(guid), instance);
  if (found.status == EFI_SUCCESS) {
    if (descriptor != nullptr) {
      *descriptor = reinterpret_cast<EFI_PEI_PPI_DESCRIPTOR*>(found.descriptor);
    }
    if (ppi != nullptr) {
      *ppi = reinterpret_cast<VOID*>(found.interface);
    }
  }
  ThrowIfStopped(board);
  return found.status;
}

// The entries of a notify list, up to its terminator.
std::vector<NotifyEntry> ParseNotifyList(const EFI_PEI_NOTIFY_DESCRIPTOR* list) {
  std::vector<NotifyEntry> entries;
  for (size_t i = 0; list != nullptr && i < kMaxNotifyEntries; ++i) {
    const EFI_PEI_NOTIFY_DESCRIPTOR& d = list[i];
    entries.push_back({static_cast<uint32_t>(d.Flags), ToGuid(d.Guid),
                       reinterpret_cast<uintptr_t>(d.Notify), Address(&d)});
    if ((d.Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0) {
      break;
    }
  }
  return entries;
}

EFI_STATUS EFIAPI NativeNotifyPpi(const EFI_PEI_SERVICES** services,
                                  const EFI_PEI_NOTIFY_DESCRIPTOR* list) {
  Board& board = FromServices(services);
  std::vector<NotifyEntry> entries = ParseNotifyList(list);
  EFI_STATUS status = board.NotifyPpi(entries);
  ThrowIfStopped(board);
  return status;
}

// ---- Read-only variable PPI ----

std::u16string ReadName(const CHAR16* name) {
  std::u16string text;
  for (size_t i = 0; name[i] != 0 && i < kMaxNameChars; ++i) {
    text += static_cast<char16_t>(name[i]);
  }
  return text;
}

EFI_STATUS EFIAPI NativeGetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI* self, const CHAR16* name,
                                    const EFI_GUID* guid, UINT32* attributes, UINTN* dataSize,
                                    VOID* data) {
  Board& board = *Owner(self, offsetof(NativePlatform, variable)).board;
  if (name == nullptr || guid == nullptr || dataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  VariableResult result = board.GetVariable(ReadName(name), ToGuid(guid), *dataSize);
  *dataSize = static_cast<UINTN>(result.dataSize);
  if (result.status == EFI_SUCCESS) {
    if (data != nullptr && !result.data.empty()) {
      std::memcpy(data, result.data.data(), result.data.size());
    }
    if (attributes != nullptr) {
      *attributes = result.attributes;
    }
  }
  ThrowIfStopped(board);
  return result.status;
}

EFI_STATUS EFIAPI NativeNextVariableName(const EFI_PEI_READ_ONLY_VARIABLE2_PPI* self,
                                         UINTN* /*nameSize*/, CHAR16* /*name*/,
                                         EFI_GUID* /*guid*/) {
  Board& board = *Owner(self, offsetof(NativePlatform, variable)).board;
  return board.UnmodelledPeiCall(PeiCall::NextVariableName, EFI_UNSUPPORTED);
}

// ---- SMBus2 PPI ----

EFI_STATUS EFIAPI NativeSmbusExecute(const EFI_PEI_SMBUS2_PPI* self,
                                     EFI_SMBUS_DEVICE_ADDRESS address,
                                     EFI_SMBUS_DEVICE_COMMAND command,
                                     EFI_SMBUS_OPERATION operation, BOOLEAN pecCheck, UINTN* length,
                                     VOID* buffer) {
  Board& board = *Owner(self, offsetof(NativePlatform, smbus)).board;
  if (length == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto op = static_cast<uint8_t>(operation);
  uint64_t sent = buffer != nullptr ? SmbusWriteLength(op, *length) : 0;
  std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), sent);
  SmbusResult result =
      board.SmbusExecute(address.SmbusDeviceAddress, command, op, pecCheck != 0, *length, bytes);
  // A read that succeeded, with or without a warning, delivers its bytes.
  if (!IsError(result.status) && buffer != nullptr && !result.data.empty()) {
    std::memcpy(buffer, result.data.data(), result.data.size());
  }
  *length = static_cast<UINTN>(result.length);
  ThrowIfStopped(board);
  return result.status;
}

// ---- PCD PPI ----

UINT64 EFIAPI NativePcdGet64(UINTN token) {
  // Get64 takes no This: the board is the one current for this thread.
  auto* board = dynamic_cast<Board*>(CurrentHostBus());
  if (board == nullptr) {
    return 0;
  }
  UINT64 value = board->PcdGet64(token);
  ThrowIfStopped(*board);
  return value;
}

// Fills the table, the PPIs, their descriptors and the IDT slot.
void BuildPlatform(NativePlatform& p, Board& board) {
  p = NativePlatform{};
  p.board = &board;
  p.services.Hdr.Signature = kPeiServicesSignature;
  p.services.Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  p.services.InstallPpi = NativeInstallPpi;
  p.services.ReInstallPpi = NativeReInstallPpi;
  p.services.LocatePpi = NativeLocatePpi;
  p.services.NotifyPpi = NativeNotifyPpi;
  p.servicesPointer = &p.services;
  p.variable = {NativeGetVariable, NativeNextVariableName};
  p.smbus.Execute = NativeSmbusExecute;
  p.smbus.Identifier = ToEfiGuid(guids::kSmbus2Ppi);
  p.pcd.Get64 = NativePcdGet64;
  p.variableGuid = ToEfiGuid(guids::kReadOnlyVariable2Ppi);
  p.smbusGuid = ToEfiGuid(guids::kSmbus2Ppi);
  p.pcdGuid = ToEfiGuid(guids::kPcdPpi);
  const UINTN flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  p.variableDescriptor = {flags, &p.variableGuid, &p.variable};
  p.smbusDescriptor = {flags, &p.smbusGuid, &p.smbus};
  p.pcdDescriptor = {flags, &p.pcdGuid, &p.pcd};
  p.idt[0] = reinterpret_cast<UINTN>(&p.servicesPointer);
  board.SetIdtr(Address(&p.idt[1]), static_cast<uint16_t>(kNativeIdtEntries * 8 - 1));
}

void Install(Board& board, const EFI_PEI_PPI_DESCRIPTOR& descriptor) {
  board.InstallPpi(ToGuid(descriptor.Guid), Address(&descriptor), Address(descriptor.Ppi));
}

// Calls the entry point; false when the run stopped inside it.
bool CallEntry(NativePlatform& p, RunOutcome& outcome) {
  Board& board = *p.board;
  board.RecordCall(Function::ClockRampEntry);
  try {
    EFI_STATUS status = ClockRampEntry(nullptr, &p.servicesPointer);
    board.RecordReturn(Function::ClockRampEntry, status);
    outcome.entryStatus = status;
    return true;
  } catch (const RunStopped&) {
    return false;
  }
}

// Delivers pending notifications in order; false when the run stopped in one.
bool DrainNotifications(NativePlatform& p, RunOutcome& outcome) {
  Board& board = *p.board;
  while (auto pending = board.Foundation().TakePending()) {
    auto notify = reinterpret_cast<EFI_PEIM_NOTIFY_ENTRY_POINT>(pending->notify.function);
    auto* descriptor = reinterpret_cast<EFI_PEI_NOTIFY_DESCRIPTOR*>(pending->notify.descriptor);
    auto* services = const_cast<EFI_PEI_SERVICES**>(&p.servicesPointer);
    ++outcome.notifications;
    board.RecordCall(Function::ClockRampNotify);
    try {
      EFI_STATUS status =
          notify(services, descriptor, reinterpret_cast<VOID*>(pending->ppi.interface));
      board.RecordReturn(Function::ClockRampNotify, status);
      outcome.notifyStatus = status;
    } catch (const RunStopped&) {
      return false;
    }
  }
  return true;
}

// The dispatch: installs, entry, notifications.
void Dispatch(NativePlatform& p, RunOutcome& outcome) {
  Board& board = *p.board;
  const BoardConfig& config = board.Config();
  if (config.pcdPpi) {
    Install(board, p.pcdDescriptor);
  }
  if (config.variablePpi) {
    Install(board, p.variableDescriptor);
  }
  if (config.smbusPpi == SmbusPpiTiming::BeforeEntry) {
    Install(board, p.smbusDescriptor);
  }
  if (!CallEntry(p, outcome) || !DrainNotifications(p, outcome)) {
    return;
  }
  if (config.smbusPpi == SmbusPpiTiming::AfterEntry) {
    Install(board, p.smbusDescriptor);
    DrainNotifications(p, outcome);
  }
}

}  // namespace

NativeSession::NativeSession(Board& board)
    : scope_(board), platform_(std::make_unique<NativePlatform>()) {
  BuildPlatform(*platform_, board);
  const BoardConfig& config = board.Config();
  if (config.pcdPpi) {
    Install(board, platform_->pcdDescriptor);
  }
  if (config.variablePpi) {
    Install(board, platform_->variableDescriptor);
  }
  if (config.smbusPpi != SmbusPpiTiming::Absent) {
    Install(board, platform_->smbusDescriptor);
  }
}

NativeSession::~NativeSession() = default;

void* NativeSession::Services() const {
  return const_cast<EFI_PEI_SERVICES**>(&platform_->servicesPointer);
}

const void* NativeSession::Smbus() const { return &platform_->smbus; }

RunOutcome RunNative(Board& board) {
  HostBusScope scope(board);
  auto platform = std::make_unique<NativePlatform>();
  BuildPlatform(*platform, board);
  board.SetWallClockLimit(board.Config().wallClockLimitMs);
  RunOutcome outcome;
  Dispatch(*platform, outcome);
  outcome.hung = board.Stopped();
  outcome.timedOut = board.WallClockExpired();
  board.AppendStateEvent();
  return outcome;
}

RunResult RunNative(const BoardConfig& config, EventSink* sink) {
  RunResult result;
  result.board = std::make_unique<Board>(config, sink);
  static_cast<RunOutcome&>(result) = RunNative(*result.board);
  return result;
}

}  // namespace board
