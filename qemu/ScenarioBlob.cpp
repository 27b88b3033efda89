#include "qemu/ScenarioBlob.h"

#include <string>
#include <string_view>

#include "board/Board.h"
#include "board/Guid.h"

namespace qemu {
namespace {

constexpr uint32_t kMagic = 0x53515243;  // "CRQS"
constexpr uint32_t kVersion = 1;
constexpr uint16_t kNoReportedCount = 0xFFFF;
constexpr size_t kMaxFailures = 16;
constexpr uint64_t kMaxTransaction = 0xFFFFFFFF;

// Appends a little-endian number of `bytes` bytes.
void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// Appends a GUID in its stored layout.
void PutGuid(std::vector<uint8_t>& out, const board::Guid& guid) {
  Put(out, guid.data1, 4);
  Put(out, guid.data2, 2);
  Put(out, guid.data3, 2);
  out.insert(out.end(), guid.data4.begin(), guid.data4.end());
}

// Appends one variable: name size, GUID, data size, the UTF-16 name with its NUL, the data.
void PutVariable(std::vector<uint8_t>& out, std::u16string_view name, const board::Guid& guid,
                 const std::vector<uint8_t>& data) {
  Put(out, (name.size() + 1) * 2, 4);
  PutGuid(out, guid);
  Put(out, data.size(), 4);
  for (char16_t c : name) {
    Put(out, c, 2);
  }
  Put(out, 0, 2);
  out.insert(out.end(), data.begin(), data.end());
}

// The SMBus2 timing as the PEIM numbers it.
uint32_t TimingCode(board::SmbusPpiTiming timing) {
  switch (timing) {
    case board::SmbusPpiTiming::AfterEntry:
      return 0;
    case board::SmbusPpiTiming::BeforeEntry:
      return 1;
    case board::SmbusPpiTiming::Absent:
      return 2;
  }
  return 0;
}

// Refuses what the firmware under QEMU cannot be made into.
void CheckSupported(const board::BoardConfig& config) {
  if (!config.variablePpi) {
    throw UnsupportedScenario("the firmware has its own variable PPI; it cannot be left out");
  }
  if (!config.pcdPpi) {
    throw UnsupportedScenario("the firmware needs its PCD PPI; it cannot be left out");
  }
  if (config.notifyPpiStatus != 0) {
    throw UnsupportedScenario("the real PEI core's NotifyPpi cannot be made to fail");
  }
  if (config.timerMode != board::TimerMode::Running) {
    throw UnsupportedScenario("QEMU's ACPI timer cannot be frozen or stopped");
  }
  if (config.smbusFailures.size() > kMaxFailures) {
    throw UnsupportedScenario("more than 16 injected SMBus failures");
  }
  for (const board::SmbusFailure& f : config.smbusFailures) {
    if (f.transaction > kMaxTransaction) {
      throw UnsupportedScenario("an injected failure beyond transaction 2^32 - 1");
    }
  }
  if (config.superIoPresent) {
    throw UnsupportedScenario(
        "nothing answers at ports 0x2E/0x2F on QEMU's q35: the scenario must say "
        "\"superIo\": {\"present\": false}");
  }
}

}  // namespace

std::vector<uint8_t> BuildScenarioBlob(const board::BoardConfig& config, uint64_t pcdToken5) {
  CheckSupported(config);
  std::vector<uint8_t> out;
  Put(out, kMagic, 4);
  Put(out, kVersion, 4);
  Put(out, pcdToken5, 8);
  Put(out, TimingCode(config.smbusPpi), 4);
  Put(out, config.reportedByteCount ? *config.reportedByteCount : kNoReportedCount, 2);
  Put(out, config.acpiBase, 2);
  Put(out, config.acpiControl, 1);
  Put(out, 0, 3);
  Put(out, config.smbusFailures.size(), 4);
  uint32_t variables = (config.setup ? 1U : 0U) + (config.pchRcConfiguration ? 1U : 0U);
  Put(out, variables, 4);
  out.insert(out.end(), config.clockGenerator.begin(), config.clockGenerator.end());
  for (const board::SmbusFailure& f : config.smbusFailures) {
    Put(out, f.transaction, 4);
    Put(out, f.status, 4);
  }
  if (config.setup) {
    PutVariable(out, board::kSetupName, board::guids::kSetupVariable, *config.setup);
  }
  if (config.pchRcConfiguration) {
    PutVariable(out, board::kPchRcConfigurationName, board::guids::kPchRcConfigurationVariable,
                *config.pchRcConfiguration);
  }
  return out;
}

}  // namespace qemu
