// EFI_STATUS values by name, both ways, for scenario files and summaries.
#ifndef CLOCKRAMP_TOOLS_EFISTATUS_H_
#define CLOCKRAMP_TOOLS_EFISTATUS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace clockramp::tool {

// "EFI_SUCCESS", "EFI_DEVICE_ERROR", "EFI_WARN_STALE_DATA", ...; a value
// without a name is shown as "0x8000002A".
std::string StatusName(uint32_t status);

// The value of a name StatusName gives ("EFI_NOT_FOUND"), or of a number
// written as decimal or 0x-hex text; nullopt for anything else.
std::optional<uint32_t> StatusFromName(std::string_view name);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_EFISTATUS_H_
