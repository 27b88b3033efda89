#include "board/PeiFoundation.h"

#include "board/Status.h"

namespace board {

void PeiFoundation::InstallPpi(const PpiEntry& ppi) {
  installed_.push_back(ppi);
  for (const NotifyEntry& notify : registered_) {
    if (notify.guid == ppi.guid) {
      pending_.push_back({notify, ppi});
    }
  }
}

std::optional<PpiEntry> PeiFoundation::LocatePpi(const Guid& guid, uint64_t instance) const {
  uint64_t seen = 0;
  for (const PpiEntry& ppi : installed_) {
    if (ppi.guid == guid && seen++ == instance) {
      return ppi;
    }
  }
  return std::nullopt;
}

bool PeiFoundation::ValidList(std::span<const NotifyEntry> list) {
  if (list.empty() || (list.back().flags & kPpiDescriptorTerminateList) == 0) {
    return false;
  }
  for (const NotifyEntry& entry : list) {
    if ((entry.flags & (kPpiDescriptorNotifyCallback | kPpiDescriptorNotifyDispatch)) == 0) {
      return false;
    }
  }
  return true;
}

uint32_t PeiFoundation::NotifyPpi(std::span<const NotifyEntry> list) {
  if (notifyFailure_ != kEfiSuccess) {
    return notifyFailure_;
  }
  if (!ValidList(list)) {
    return kEfiInvalidParameter;
  }
  for (const NotifyEntry& entry : list) {
    if ((entry.flags & kPpiDescriptorNotifyCallback) == 0) {
      continue;
    }
    registered_.push_back(entry);
    // Every instance already installed is delivered once the caller has returned.
    for (const PpiEntry& ppi : installed_) {
      if (ppi.guid == entry.guid) {
        pending_.push_back({entry, ppi});
      }
    }
  }
  return kEfiSuccess;
}

std::optional<PendingNotification> PeiFoundation::TakePending() {
  if (pending_.empty()) {
    return std::nullopt;
  }
  PendingNotification next = pending_.front();
  pending_.pop_front();
  return next;
}

}  // namespace board
