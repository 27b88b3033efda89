#include "board/VariableStore.h"

#include <gtest/gtest.h>

#include "board/Status.h"

namespace board {
namespace {

TEST(VariableStore, GetVariableHasThreeOutcomes) {
  VariableStore store;
  std::vector<uint8_t> setup(219);
  setup[164] = 0x00;
  setup[165] = 0x04;
  store.Set(u"Setup", guids::kSetupVariable, setup);

  struct Case {
    std::u16string name;
    Guid guid;
    uint64_t buffer;
    uint32_t status;
    uint64_t dataSize;
    bool copied;
  };
  for (const Case& c : std::vector<Case>{
           {u"Setup", guids::kSetupVariable, 219, kEfiSuccess, 219, true},
           {u"Setup", guids::kSetupVariable, 4096, kEfiSuccess, 219, true},
           {u"Setup", guids::kSetupVariable, 218, kEfiBufferTooSmall, 219, false},
           {u"Setup", guids::kSetupVariable, 0, kEfiBufferTooSmall, 219, false},
           {u"setup", guids::kSetupVariable, 300, kEfiNotFound, 300, false},
           {u"Setup", guids::kPchRcConfigurationVariable, 77, kEfiNotFound, 77, false},
       }) {
    VariableResult r = store.Get(c.name, c.guid, c.buffer);
    EXPECT_EQ(r.status, c.status) << "buffer " << c.buffer;
    EXPECT_EQ(r.dataSize, c.dataSize) << "buffer " << c.buffer;
    EXPECT_EQ(r.data, c.copied ? setup : std::vector<uint8_t>{}) << "buffer " << c.buffer;
  }
}

TEST(VariableStore, RemovedVariableIsNotFound) {
  VariableStore store;
  store.Set(u"PchRcConfiguration", guids::kPchRcConfigurationVariable, {5});
  store.Remove(u"PchRcConfiguration", guids::kPchRcConfigurationVariable);
  EXPECT_EQ(store.Get(u"PchRcConfiguration", guids::kPchRcConfigurationVariable, 1).status,
            kEfiNotFound);
}

TEST(VariableStore, NamesConvertToUtf8) {
  EXPECT_EQ(ToUtf8(u"Setup"), "Setup");
  EXPECT_EQ(ToUtf8(u"\u00e9\u20ac"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace board
