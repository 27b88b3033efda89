// The scenario PEIM (qemu/peim/ScenarioPeim.cpp) compiled for the host, on
// a scenario file of any bytes. Inside the firmware a fault there would hang
// the boot: fw_cfg streams a file one port read a byte, so a size taken
// from the file and not checked against it can keep the PEIM reading for
// up to 4 GiB of reads, and a bad index overwrites the PEIM's own state.
//
// The target plays the machine around the PEIM: fw_cfg (a directory with the
// one scenario file), the helpers' log port, the LPC bridge's configuration
// space, and a PEI Foundation that has the firmware's PCD and variable PPIs
// or none. It runs the entry once each way, then calls what the PEIM
// installed as the module would: GetVariable of both variables (with the
// module's buffer sizes, then with the size asked for), SMBus transactions
// on the clock generator model, the PCD shim. What must hold:
//   - no read past the end of the scenario file, and no variable larger
//     than the file;
//   - every log line starts with "crq " and is ended, and QEMU's trace
//     reader reads every one of them (none malformed).
// Buffers handed to the PEIM are exactly as long as the size passed with
// them, so that AddressSanitizer sees a write past the size.
#include <array>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "board/Board.h"
#include "board/Guid.h"
#include "fuzz/readers/ReaderTarget.h"
#include "qemu/TraceReader.h"

// The PEIM itself, in this translation unit, so that its state (a global the
// firmware zeroes once per boot) can be cleared before each run.
#include "qemu/peim/ScenarioPeim.cpp"  // NOLINT(bugprone-suspicious-include)

namespace clockramp::fuzz {
namespace {

constexpr UINT16 kFwCfgSelector = 0x510;
constexpr UINT16 kFwCfgData = 0x511;
constexpr UINT16 kFwCfgDirectory = 0x19;
constexpr UINT16 kScenarioItem = 0x20;
constexpr size_t kFwCfgNameBytes = 56;
constexpr UINT16 kPciAddress = 0xCF8;
constexpr UINT16 kPciData = 0xCFC;

// The machine the PEIM runs on, for one run.
struct HostMachine {
  Input scenario;
  std::vector<uint8_t> directory;
  UINT16 selected = 0;
  size_t position = 0;
  std::string log;
  UINT32 pciAddress = 0;
  std::map<UINT32, UINT32> pciConfig;
};

HostMachine* gMachine = nullptr;

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// fw_cfg's file directory: a count, then 64-byte entries.
std::vector<uint8_t> FwCfgDirectory(uint32_t scenarioSize) {
  std::vector<uint8_t> out;
  PutBigEndian(out, 1, 4);
  PutBigEndian(out, scenarioSize, 4);
  PutBigEndian(out, kScenarioItem, 2);
  PutBigEndian(out, 0, 2);
  const std::string_view name = SCENARIO_FW_CFG_NAME;
  out.insert(out.end(), name.begin(), name.end());
  out.resize(out.size() + kFwCfgNameBytes - name.size(), 0);
  return out;
}

uint8_t FwCfgByte() {
  HostMachine& m = *gMachine;
  const size_t at = m.position++;
  if (m.selected == kFwCfgDirectory) {
    return at < m.directory.size() ? m.directory[at] : 0;
  }
  if (m.selected != kScenarioItem) {
    return 0;
  }
  if (at >= m.scenario.size()) {
    Finding("the PEIM reads byte " + std::to_string(at) + " of its " +
            std::to_string(m.scenario.size()) + "-byte scenario file");
  }
  return m.scenario[at];
}

// The firmware's own PPIs, which the PEIM replaces.
UINT64 EFIAPI FirmwareGet64(UINTN /*TokenNumber*/) { return 0; }
std::array<VOID*, kPcdPpiEntries> gFirmwarePcd{};
EFI_STATUS EFIAPI FirmwareGetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI* /*This*/,
                                      const CHAR16* /*Name*/, const EFI_GUID* /*Guid*/,
                                      UINT32* /*Attributes*/, UINTN* /*DataSize*/, VOID* /*Data*/) {
  return EFI_NOT_FOUND;
}
EFI_PEI_READ_ONLY_VARIABLE2_PPI gFirmwareVariable = {FirmwareGetVariable, nullptr};
EFI_PEI_PPI_DESCRIPTOR gFirmwarePcdDescriptor = {kPpiFlags, &gClockRampPcdPpiGuid,
                                                 gFirmwarePcd.data()};
EFI_PEI_PPI_DESCRIPTOR gFirmwareVariableDescriptor = {kPpiFlags, &gClockRampVariablePpiGuid,
                                                      &gFirmwareVariable};

// A PEI Foundation that keeps what was installed, latest last.
struct HostFoundation {
  bool firmwarePpis = false;
  std::vector<const EFI_PEI_PPI_DESCRIPTOR*> installed;

  [[nodiscard]] const EFI_PEI_PPI_DESCRIPTOR* Find(const EFI_GUID* guid) const {
    for (auto it = installed.rbegin(); it != installed.rend(); ++it) {
      if (SameGuid((*it)->Guid, guid)) {
        return *it;
      }
    }
    if (firmwarePpis && SameGuid(guid, &gClockRampPcdPpiGuid)) {
      return &gFirmwarePcdDescriptor;
    }
    if (firmwarePpis && SameGuid(guid, &gClockRampVariablePpiGuid)) {
      return &gFirmwareVariableDescriptor;
    }
    return nullptr;
  }
};

HostFoundation* gFoundation = nullptr;

EFI_STATUS EFIAPI HostInstallPpi(const EFI_PEI_SERVICES** /*PeiServices*/,
                                 const EFI_PEI_PPI_DESCRIPTOR* PpiList) {
  gFoundation->installed.push_back(PpiList);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HostReInstallPpi(const EFI_PEI_SERVICES** /*PeiServices*/,
                                   const EFI_PEI_PPI_DESCRIPTOR* /*OldPpi*/,
                                   const EFI_PEI_PPI_DESCRIPTOR* NewPpi) {
  gFoundation->installed.push_back(NewPpi);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HostLocatePpi(const EFI_PEI_SERVICES** /*PeiServices*/, const EFI_GUID* Guid,
                                UINTN /*Instance*/, EFI_PEI_PPI_DESCRIPTOR** PpiDescriptor,
                                VOID** Ppi) {
  const EFI_PEI_PPI_DESCRIPTOR* found = gFoundation->Find(Guid);
  if (found == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (PpiDescriptor != nullptr) {
    *PpiDescriptor = const_cast<EFI_PEI_PPI_DESCRIPTOR*>(found);
  }
  *Ppi = found->Ppi;
  return EFI_SUCCESS;
}

EFI_GUID EfiGuid(const board::Guid& g) {
  EFI_GUID out{g.data1, g.data2, g.data3, {}};
  for (size_t i = 0; i < 8; ++i) {
    out.Data4[i] = g.data4[i];
  }
  return out;
}

// GetVariable as the module calls it, then again with the size asked for.
void ReadVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI* ppi, std::u16string_view name,
                  const board::Guid& vendor, size_t moduleBufferSize) {
  const std::u16string text(name);
  const auto* chars = reinterpret_cast<const CHAR16*>(text.c_str());
  const EFI_GUID guid = EfiGuid(vendor);
  UINT32 attributes = 0;
  std::vector<uint8_t> buffer(moduleBufferSize);
  UINTN size = buffer.size();
  if (ppi->GetVariable(ppi, chars, &guid, &attributes, &size, buffer.data()) !=
      EFI_BUFFER_TOO_SMALL) {
    return;
  }
  if (size > gMachine->scenario.size()) {
    Finding("a variable of " + std::to_string(size) + " bytes in a " +
            std::to_string(gMachine->scenario.size()) + "-byte scenario file");
  }
  buffer.assign(size, 0);
  ppi->GetVariable(ppi, chars, &guid, &attributes, &size, buffer.data());
}

struct Transaction {
  EFI_SMBUS_OPERATION operation;
  UINTN command;
  UINTN length;
};

// The module's transactions on the clock generator, and a few it never makes.
constexpr std::array<Transaction, 7> kTransactions = {{
    {EfiSmbusWriteBlock, 8, 1},
    {EfiSmbusReadBlock, 0, 32},
    {EfiSmbusWriteBlock, 19, 2},
    {EfiSmbusWriteBlock, 3, 1},
    {EfiSmbusReadBlock, 0xF0, 32},
    {EfiSmbusReadBlock, 0, 33},
    {EfiSmbusReadByte, 0, 1},
}};

void UseSmbus(const EFI_PEI_SMBUS2_PPI* smbus) {
  for (const Transaction& t : kTransactions) {
    std::vector<uint8_t> buffer(t.length, 0x5A);
    UINTN length = t.length;
    EFI_SMBUS_DEVICE_ADDRESS address{};
    address.SmbusDeviceAddress = 0x6B;
    smbus->Execute(smbus, address, t.command, t.operation, FALSE, &length, buffer.data());
  }
}

// What the PEIM logged, as QEMU's trace shows it: one port write a byte.
void CheckLog(const std::string& log) {
  if (!log.empty() && log.back() != '\n') {
    Finding("the PEIM's last log line is not ended");
  }
  std::string trace;
  size_t lineStart = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (i == lineStart && log.compare(i, 4, "crq ") != 0) {
      Finding("a log line does not start with \"crq \"");
    }
    if (log[i] == '\n') {
      lineStart = i + 1;
    }
    char line[96];
    std::snprintf(line, sizeof line,
                  "memory_region_ops_write addr 0x%x value 0x%x size 1 name 'io'\n",
                  HELPER_LOG_PORT, static_cast<unsigned>(static_cast<unsigned char>(log[i])));
    trace += line;
  }
  std::istringstream in(trace);
  for (const std::string& problem : qemu::ReadQemuTrace(in, {}).unexpected) {
    Finding("QEMU's trace reader does not take the PEIM's log: " + problem);
  }
}

// Runs the PEIM and what the module would call; returns the PEIM's log.
std::string RunOnce(Input scenario, bool firmwarePpis) {
  HostMachine machine;
  machine.scenario = scenario;
  machine.directory = FwCfgDirectory(static_cast<uint32_t>(scenario.size()));
  HostFoundation foundation;
  foundation.firmwarePpis = firmwarePpis;
  gMachine = &machine;
  gFoundation = &foundation;
  gState = HELPER_STATE{};
  gFirmwarePcd.fill(nullptr);
  gFirmwarePcd[kPcdGet64Index] = reinterpret_cast<VOID*>(FirmwareGet64);

  EFI_PEI_SERVICES services{};
  services.InstallPpi = HostInstallPpi;
  services.ReInstallPpi = HostReInstallPpi;
  services.LocatePpi = HostLocatePpi;
  const EFI_PEI_SERVICES* table = &services;
  if (ScenarioPeimEntry(nullptr, &table) == EFI_SUCCESS) {
    if (const auto* variable = foundation.Find(&gClockRampVariablePpiGuid);
        variable != nullptr && variable != &gFirmwareVariableDescriptor) {
      const auto* ppi = static_cast<const EFI_PEI_READ_ONLY_VARIABLE2_PPI*>(variable->Ppi);
      ReadVariable(ppi, board::kSetupName, board::guids::kSetupVariable, board::setup::kSize);
      ReadVariable(ppi, board::kPchRcConfigurationName, board::guids::kPchRcConfigurationVariable,
                   board::pchrc::kSize);
    }
    UseSmbus(&gState.Smbus);
    if (gState.Context.PcdShim != nullptr) {
      const auto* pcd = static_cast<VOID* const*>(gState.Context.PcdShim->Ppi);
      const auto get64 = reinterpret_cast<PCD_GET64_ENTRY>(pcd[kPcdGet64Index]);
      get64(kPcieToken);
      get64(kPcieToken + 1);
    }
  }
  gMachine = nullptr;
  gFoundation = nullptr;
  return machine.log;
}

}  // namespace

CLOCKRAMP_READER_TARGET(FuzzScenarioPeim) { CheckLog(RunOnce(data, true) + RunOnce(data, false)); }

}  // namespace clockramp::fuzz

// The ports the PEIM reaches, answered by the machine of the current run.
void HelperOut8(UINT16 Port, UINT8 Value) {
  if (Port == HELPER_LOG_PORT) {
    clockramp::fuzz::gMachine->log += static_cast<char>(Value);
  }
}

void HelperOut16(UINT16 Port, UINT16 Value) {
  if (Port == clockramp::fuzz::kFwCfgSelector) {
    clockramp::fuzz::gMachine->selected = Value;
    clockramp::fuzz::gMachine->position = 0;
  }
}

void HelperOut32(UINT16 Port, UINT32 Value) {
  auto& m = *clockramp::fuzz::gMachine;
  if (Port == clockramp::fuzz::kPciAddress) {
    m.pciAddress = Value;
  } else if (Port == clockramp::fuzz::kPciData) {
    m.pciConfig[m.pciAddress] = Value;
  }
}

UINT8 HelperIn8(UINT16 Port) {
  return Port == clockramp::fuzz::kFwCfgData ? clockramp::fuzz::FwCfgByte() : 0xFF;
}

UINT32 HelperIn32(UINT16 Port) {
  auto& m = *clockramp::fuzz::gMachine;
  return Port == clockramp::fuzz::kPciData ? m.pciConfig[m.pciAddress] : 0xFFFFFFFFU;
}
