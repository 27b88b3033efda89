// A stand-in PEI Foundation: the PPI database and notify registrations,
// engine-neutral. Interfaces, descriptors and notify functions are 64-bit
// addresses in whatever address space the engine runs the module (host
// pointers natively, guest addresses under an instruction-level engine).
//
// A registered callback notification becomes pending when its PPI is
// installed later, or, when the PPI is already installed at registration,
// at once; the engine drains the pending queue at the moments a real
// Foundation would deliver: right after an install, and after the module's
// entry point has returned. Nothing is ever delivered from inside NotifyPpi.
#ifndef CLOCKRAMP_BOARD_PEIFOUNDATION_H_
#define CLOCKRAMP_BOARD_PEIFOUNDATION_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "board/Guid.h"

namespace board {

// EFI_PEI_PPI_DESCRIPTOR flags.
inline constexpr uint32_t kPpiDescriptorPpi = 0x00000010U;
inline constexpr uint32_t kPpiDescriptorNotifyCallback = 0x00000020U;
inline constexpr uint32_t kPpiDescriptorNotifyDispatch = 0x00000040U;
inline constexpr uint32_t kPpiDescriptorTerminateList = 0x80000000U;

// One installed PPI.
struct PpiEntry {
  Guid guid;
  uint64_t descriptor = 0;  // address of its EFI_PEI_PPI_DESCRIPTOR
  uint64_t interface = 0;   // address of the PPI itself
  bool operator==(const PpiEntry&) const = default;
};

// One entry of a notify descriptor list, as the engine parsed it.
struct NotifyEntry {
  uint32_t flags = 0;
  Guid guid;
  uint64_t function = 0;    // address of the notify function
  uint64_t descriptor = 0;  // address of this descriptor
  bool operator==(const NotifyEntry&) const = default;
};

// A notification waiting to be delivered: call notify.function with
// (services, notify.descriptor, ppi.interface).
struct PendingNotification {
  NotifyEntry notify;
  PpiEntry ppi;
  bool operator==(const PendingNotification&) const = default;
};

class PeiFoundation {
 public:
  // A status every NotifyPpi call answers with instead of registering (0: none).
  void SetNotifyFailure(uint32_t status) { notifyFailure_ = status; }

  // Adds a PPI; callbacks registered on its GUID become pending, in registration order.
  void InstallPpi(const PpiEntry& ppi);
  // The instance-th PPI with this GUID, in install order; nullopt when absent.
  [[nodiscard]] std::optional<PpiEntry> LocatePpi(const Guid& guid, uint64_t instance) const;

  // Registers a notify list. Fails with the configured failure, or with
  // EFI_INVALID_PARAMETER for an empty list, an entry without a notify type
  // or a last entry without TERMINATE_LIST; a failing call registers nothing.
  // Callback entries are registered (dispatch entries are accepted and never
  // delivered: this Foundation dispatches no further modules).
  uint32_t NotifyPpi(std::span<const NotifyEntry> list);

  [[nodiscard]] bool HasPending() const { return !pending_.empty(); }
  // Takes the oldest pending notification.
  std::optional<PendingNotification> TakePending();

  [[nodiscard]] const std::vector<PpiEntry>& Installed() const { return installed_; }
  [[nodiscard]] const std::vector<NotifyEntry>& Registered() const { return registered_; }

 private:
  static bool ValidList(std::span<const NotifyEntry> list);

  std::vector<PpiEntry> installed_;
  std::vector<NotifyEntry> registered_;
  std::deque<PendingNotification> pending_;
  uint32_t notifyFailure_ = 0;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_PEIFOUNDATION_H_
