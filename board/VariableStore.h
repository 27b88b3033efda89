// Firmware variables as the read-only variable PPI presents them: a key of
// (UTF-16 name, vendor GUID) maps to bytes.
//
// GetVariable: unknown name or GUID -> EFI_NOT_FOUND, DataSize unchanged; a
// buffer smaller than the data -> EFI_BUFFER_TOO_SMALL, DataSize set to the
// size needed, nothing copied; otherwise the data is copied from offset 0 and
// DataSize set to its size.
#ifndef CLOCKRAMP_BOARD_VARIABLESTORE_H_
#define CLOCKRAMP_BOARD_VARIABLESTORE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/Guid.h"

namespace board {

// NV + BS + RT, what a "Setup"-like variable carries.
inline constexpr uint32_t kDefaultVariableAttributes = 0x7;

struct VariableResult {
  uint32_t status = 0;
  uint64_t dataSize = 0;      // DataSize after the call
  std::vector<uint8_t> data;  // bytes to copy into the caller's buffer (success only)
  uint32_t attributes = 0;    // valid on success
};

class VariableStore {
 public:
  void Set(std::u16string name, const Guid& guid, std::vector<uint8_t> data,
           uint32_t attributes = kDefaultVariableAttributes);
  void Remove(const std::u16string& name, const Guid& guid);

  [[nodiscard]] VariableResult Get(std::u16string_view name, const Guid& guid,
                                   uint64_t bufferSize) const;
  // The stored bytes, or nullptr.
  [[nodiscard]] const std::vector<uint8_t>* Find(std::u16string_view name, const Guid& guid) const;

 private:
  struct Stored {
    std::vector<uint8_t> data;
    uint32_t attributes = 0;
  };
  std::map<std::pair<std::u16string, Guid>, Stored> variables_;
};

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD), for trace lines.
std::string ToUtf8(std::u16string_view text);

}  // namespace board

#endif  // CLOCKRAMP_BOARD_VARIABLESTORE_H_
