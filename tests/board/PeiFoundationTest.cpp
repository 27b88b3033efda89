#include "board/PeiFoundation.h"

#include <gtest/gtest.h>

#include "board/Status.h"

namespace board {
namespace {

constexpr uint32_t kCallbackLast = kPpiDescriptorNotifyCallback | kPpiDescriptorTerminateList;

NotifyEntry Callback(const Guid& guid, uint64_t function, uint32_t flags = kCallbackLast) {
  return NotifyEntry{flags, guid, function, function + 0x100};
}

TEST(PeiFoundation, LocateFindsInstancesInInstallOrder) {
  PeiFoundation f;
  f.InstallPpi({guids::kPcdPpi, 0x10, 0x1000});
  f.InstallPpi({guids::kSmbus2Ppi, 0x20, 0x2000});
  f.InstallPpi({guids::kPcdPpi, 0x30, 0x3000});
  EXPECT_EQ(f.LocatePpi(guids::kPcdPpi, 0)->interface, 0x1000U);
  EXPECT_EQ(f.LocatePpi(guids::kPcdPpi, 1)->interface, 0x3000U);
  EXPECT_EQ(f.LocatePpi(guids::kSmbus2Ppi, 0)->descriptor, 0x20U);
  EXPECT_FALSE(f.LocatePpi(guids::kPcdPpi, 2));
  EXPECT_FALSE(f.LocatePpi(guids::kReadOnlyVariable2Ppi, 0));
}

TEST(PeiFoundation, NotificationForALaterInstallBecomesPendingAtTheInstall) {
  PeiFoundation f;
  NotifyEntry n = Callback(guids::kSmbus2Ppi, 0xA000);
  ASSERT_EQ(f.NotifyPpi({&n, 1}), kEfiSuccess);
  EXPECT_FALSE(f.HasPending());
  f.InstallPpi({guids::kPcdPpi, 1, 2});
  EXPECT_FALSE(f.HasPending());
  PpiEntry smbus{guids::kSmbus2Ppi, 0x20, 0x2000};
  f.InstallPpi(smbus);
  auto pending = f.TakePending();
  ASSERT_TRUE(pending);
  EXPECT_EQ(*pending, (PendingNotification{n, smbus}));
  EXPECT_FALSE(f.HasPending());
}

TEST(PeiFoundation, NotificationForAnInstalledPpiWaitsForTheCallerToReturn) {
  PeiFoundation f;
  PpiEntry smbus{guids::kSmbus2Ppi, 0x20, 0x2000};
  f.InstallPpi(smbus);
  NotifyEntry list[] = {Callback(guids::kSmbus2Ppi, 0xA000, kPpiDescriptorNotifyCallback),
                        Callback(guids::kPcdPpi, 0xB000), Callback(guids::kSmbus2Ppi, 0xC000)};
  ASSERT_EQ(f.NotifyPpi(list), kEfiSuccess);
  // Queued, for the engine to deliver after the entry point, in list order.
  EXPECT_EQ(f.TakePending()->notify.function, 0xA000U);
  EXPECT_EQ(f.TakePending()->notify.function, 0xC000U);
  EXPECT_FALSE(f.TakePending());
  // The PCD callback fires when its PPI arrives.
  f.InstallPpi({guids::kPcdPpi, 0x30, 0x3000});
  EXPECT_EQ(f.TakePending()->notify.function, 0xB000U);
}

TEST(PeiFoundation, FailingNotifyPpiRegistersNothing) {
  struct Case {
    uint32_t failure;
    std::vector<NotifyEntry> list;
    uint32_t status;
  };
  for (const Case& c : std::vector<Case>{
           {kEfiDeviceError, {Callback(guids::kSmbus2Ppi, 1)}, kEfiDeviceError},
           {kEfiSuccess, {}, kEfiInvalidParameter},
           {kEfiSuccess,
            {Callback(guids::kSmbus2Ppi, 1, kPpiDescriptorNotifyCallback)},
            kEfiInvalidParameter},  // no terminator
           {kEfiSuccess,
            {Callback(guids::kSmbus2Ppi, 1, kPpiDescriptorPpi), Callback(guids::kSmbus2Ppi, 2)},
            kEfiInvalidParameter},  // an entry that is no notification
       }) {
    PeiFoundation f;
    f.SetNotifyFailure(c.failure);
    EXPECT_EQ(f.NotifyPpi(c.list), c.status);
    f.InstallPpi({guids::kSmbus2Ppi, 0x20, 0x2000});
    EXPECT_TRUE(f.Registered().empty());
    EXPECT_FALSE(f.HasPending());
  }
}

TEST(PeiFoundation, DispatchEntriesAreAcceptedButNotDelivered) {
  PeiFoundation f;
  NotifyEntry n =
      Callback(guids::kSmbus2Ppi, 1, kPpiDescriptorNotifyDispatch | kPpiDescriptorTerminateList);
  EXPECT_EQ(f.NotifyPpi({&n, 1}), kEfiSuccess);
  f.InstallPpi({guids::kSmbus2Ppi, 0x20, 0x2000});
  EXPECT_FALSE(f.HasPending());
}

}  // namespace
}  // namespace board
