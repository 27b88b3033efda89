#include "emu/GuestFoundation.h"

#include <string>

#include "board/Status.h"
#include "emu/MemoryMap.h"

namespace emu {

namespace {

constexpr uint64_t kServicesSignature = 0x5652455320494550ULL;  // "PEI SERV"
constexpr uint32_t kServicesRevision = (1U << 16) | 70U;        // 1.70
constexpr uint32_t kTableHeaderSize = 24;
constexpr uint32_t kMaxNotifyEntries = 64;  // a list without its terminator stops here
constexpr uint32_t kNotifyEntrySize = 12;   // Flags, Guid, Notify
constexpr uint32_t kMaxNameChars = 4096;
constexpr uint32_t kGuidSize = 16;

// The PCD PPI's entries in table order; only Get64 (the fifth) is provided.
const std::vector<const char*>& PcdNames() {
  static const std::vector<const char*> names = {
      "SetSku",   "Get8",         "Get16",         "Get32",      "Get64",
      "GetPtr",   "GetBool",      "GetSize",       "Get8Ex",     "Get16Ex",
      "Get32Ex",  "Get64Ex",      "GetPtrEx",      "GetBoolEx",  "GetSizeEx",
      "Set8",     "Set16",        "Set32",         "Set64",      "SetPtr",
      "SetBool",  "Set8Ex",       "Set16Ex",       "Set32Ex",    "Set64Ex",
      "SetPtrEx", "SetBoolEx",    "CallbackOnSet", "CancelCallback", "GetNextToken",
      "GetNextTokenSpace"};
  return names;
}

std::vector<uint8_t> GuidBytes(const board::Guid& guid) {
  std::vector<uint8_t> bytes;
  for (unsigned i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<uint8_t>(guid.data1 >> (8 * i)));
  }
  for (uint16_t half : {guid.data2, guid.data3}) {
    bytes.push_back(static_cast<uint8_t>(half));
    bytes.push_back(static_cast<uint8_t>(half >> 8));
  }
  bytes.insert(bytes.end(), guid.data4.begin(), guid.data4.end());
  return bytes;
}

}  // namespace

const std::vector<const char*>& GuestFoundation::ServiceNames() {
  static const std::vector<const char*> names = {
      "InstallPpi",         "ReInstallPpi",     "LocatePpi",          "NotifyPpi",
      "GetBootMode",        "SetBootMode",      "GetHobList",         "CreateHob",
      "FfsFindNextVolume",  "FfsFindNextFile",  "FfsFindSectionData", "InstallPeiMemory",
      "AllocatePages",      "AllocatePool",     "CopyMem",            "SetMem",
      "ReportStatusCode",   "ResetSystem",      "",  // CpuIo: a PPI pointer, not provided
      "",                                             // PciCfg: a PPI pointer, not provided
      "FfsFindFileByName",  "FfsGetFileInfo",   "FfsGetVolumeInfo",   "RegisterForShadow",
      "FindSectionData3",   "FfsGetFileInfo2",  "ResetSystem2",       "FreePages"};
  return names;
}

GuestFoundation::GuestFoundation(Machine& machine, board::Board& board)
    : machine_(machine), board_(board) {
  Engine& e = machine_.engine();

  // The services table: header, then one entry per service.
  const auto& names = ServiceNames();
  auto table_size = static_cast<uint32_t>(kTableHeaderSize + 4 * names.size());
  table_ = machine_.AllocateData(table_size, 8);
  e.Write32(table_, static_cast<uint32_t>(kServicesSignature));
  e.Write32(table_ + 4, static_cast<uint32_t>(kServicesSignature >> 32));
  e.Write32(table_ + 8, kServicesRevision);
  e.Write32(table_ + 12, table_size);
  // CRC32 and Reserved stay 0.
  for (size_t i = 0; i < names.size(); ++i) {
    uint32_t entry = table_ + kTableHeaderSize + static_cast<uint32_t>(4 * i);
    std::string name = names[i];
    uint32_t stub = 0;
    if (name == "InstallPpi") {
      stub = machine_.AddStub(name, [this](Machine& m) {
        m.SetResult(board_.UnmodelledPeiCall(board::PeiCall::InstallPpi, board::kEfiUnsupported));
      });
    } else if (name == "ReInstallPpi") {
      stub = machine_.AddStub(name, [this](Machine& m) {
        m.SetResult(
            board_.UnmodelledPeiCall(board::PeiCall::ReInstallPpi, board::kEfiUnsupported));
      });
    } else if (name == "LocatePpi") {
      stub = machine_.AddStub(name, [this](Machine& m) { LocatePpi(m); });
    } else if (name == "NotifyPpi") {
      stub = machine_.AddStub(name, [this](Machine& m) { NotifyPpi(m); });
    } else if (!name.empty()) {
      stub = machine_.AddUnexpectedStub("PEI service " + name);
    }
    e.Write32(entry, stub);
  }
  services_pointer_ = machine_.AllocateData(4);
  e.Write32(services_pointer_, table_);

  // Read-only variable PPI: GetVariable, NextVariableName.
  uint32_t variable = machine_.AllocateData(8);
  e.Write32(variable, machine_.AddStub("GetVariable", [this](Machine& m) { GetVariable(m); }));
  e.Write32(variable + 4, machine_.AddStub("NextVariableName", [this](Machine& m) {
    m.SetResult(
        board_.UnmodelledPeiCall(board::PeiCall::NextVariableName, board::kEfiUnsupported));
  }));
  variable_ = MakePpi(board::guids::kReadOnlyVariable2Ppi, variable);

  // SMBus2 PPI: Execute, ArpDevice, GetArpMap, Notify, then its Identifier GUID inline.
  uint32_t smbus = machine_.AllocateData(16 + kGuidSize);
  e.Write32(smbus, machine_.AddStub("Execute", [this](Machine& m) { SmbusExecute(m); }));
  e.Write32(smbus + 4, machine_.AddUnexpectedStub("SMBus2 ArpDevice"));
  e.Write32(smbus + 8, machine_.AddUnexpectedStub("SMBus2 GetArpMap"));
  e.Write32(smbus + 12, machine_.AddUnexpectedStub("SMBus2 Notify"));
  e.Write(smbus + 16, GuidBytes(board::guids::kSmbus2Ppi));
  smbus_ = MakePpi(board::guids::kSmbus2Ppi, smbus);

  // PCD PPI: only Get64 answers.
  const auto& pcd_names = PcdNames();
  uint32_t pcd = machine_.AllocateData(static_cast<uint32_t>(4 * pcd_names.size()));
  for (size_t i = 0; i < pcd_names.size(); ++i) {
    std::string name = pcd_names[i];
    uint32_t stub = name == "Get64"
                        ? machine_.AddStub(name, [this](Machine& m) { PcdGet64(m); })
                        : machine_.AddUnexpectedStub("PCD " + name);
    e.Write32(pcd + static_cast<uint32_t>(4 * i), stub);
  }
  pcd_ = MakePpi(board::guids::kPcdPpi, pcd);

  // The module finds the services through the slot right below the IDT base.
  e.Write32(memmap::kServicesPointerSlot, services_pointer_);
  board_.SetIdtr(memmap::kIdtBase, memmap::kIdtLimit);
}

void GuestFoundation::Install(const GuestPpi& ppi) {
  board_.InstallPpi(ppi.guid, ppi.descriptor, ppi.interface);
}

uint32_t GuestFoundation::WriteGuid(const board::Guid& guid) {
  uint32_t address = machine_.AllocateData(kGuidSize);
  machine_.engine().Write(address, GuidBytes(guid));
  return address;
}

GuestPpi GuestFoundation::MakePpi(const board::Guid& guid, uint32_t interface) {
  uint32_t guid_address = WriteGuid(guid);
  uint32_t descriptor = machine_.AllocateData(12);
  Engine& e = machine_.engine();
  e.Write32(descriptor, board::kPpiDescriptorPpi | board::kPpiDescriptorTerminateList);
  e.Write32(descriptor + 4, guid_address);
  e.Write32(descriptor + 8, interface);
  return {guid, descriptor, interface};
}

std::optional<board::Guid> GuestFoundation::ReadGuid(uint32_t address) {
  board::Guid guid;
  if (address == 0) {
    return guid;  // a null GUID pointer reads as the zero GUID, as on the native engine
  }
  uint8_t bytes[kGuidSize];
  if (!machine_.ReadGuest(address, bytes, "a GUID")) {
    return std::nullopt;
  }
  guid.data1 = static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16)) |
               (static_cast<uint32_t>(bytes[3]) << 24);
  guid.data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
  guid.data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
  for (unsigned i = 0; i < 8; ++i) {
    guid.data4[i] = bytes[8 + i];
  }
  return guid;
}

// LocatePpi(PeiServices, Guid, Instance, PpiDescriptor, Ppi)
void GuestFoundation::LocatePpi(Machine& m) {
  auto guid = ReadGuid(m.Arg(1));
  if (!guid) {
    return;
  }
  uint32_t instance = m.Arg(2);
  uint32_t descriptor_out = m.Arg(3);
  uint32_t ppi_out = m.Arg(4);
  board::LocateResult found = board_.LocatePpi(*guid, instance);
  if (found.status == board::kEfiSuccess) {
    if (descriptor_out != 0 &&
        !m.WriteGuest32(descriptor_out, static_cast<uint32_t>(found.descriptor),
                        "LocatePpi's descriptor")) {
      return;
    }
    if (ppi_out != 0 &&
        !m.WriteGuest32(ppi_out, static_cast<uint32_t>(found.interface), "LocatePpi's PPI")) {
      return;
    }
  }
  m.SetResult(found.status);
}

// NotifyPpi(PeiServices, NotifyList)
void GuestFoundation::NotifyPpi(Machine& m) {
  uint32_t list = m.Arg(1);
  std::vector<board::NotifyEntry> entries;
  for (uint32_t i = 0; list != 0 && i < kMaxNotifyEntries; ++i) {
    uint32_t address = list + i * kNotifyEntrySize;
    uint8_t raw[kNotifyEntrySize];
    if (!m.ReadGuest(address, raw, "a notify descriptor")) {
      return;
    }
    auto word = [&raw](unsigned at) {
      return static_cast<uint32_t>(raw[at] | (raw[at + 1] << 8) | (raw[at + 2] << 16)) |
             (static_cast<uint32_t>(raw[at + 3]) << 24);
    };
    auto guid = ReadGuid(word(4));
    if (!guid) {
      return;
    }
    board::NotifyEntry entry{word(0), *guid, word(8), address};
    entries.push_back(entry);
    if ((entry.flags & board::kPpiDescriptorTerminateList) != 0) {
      break;
    }
  }
  m.SetResult(board_.NotifyPpi(entries));
}

// GetVariable(This, VariableName, VariableGuid, Attributes, DataSize, Data)
void GuestFoundation::GetVariable(Machine& m) {
  uint32_t name_address = m.Arg(1);
  uint32_t guid_address = m.Arg(2);
  uint32_t attributes_out = m.Arg(3);
  uint32_t size_address = m.Arg(4);
  uint32_t data_out = m.Arg(5);
  if (name_address == 0 || guid_address == 0 || size_address == 0) {
    m.SetResult(board::kEfiInvalidParameter);
    return;
  }
  std::u16string name;
  for (uint32_t i = 0; i < kMaxNameChars; ++i) {
    uint8_t unit[2];
    if (!m.ReadGuest(name_address + 2 * i, unit, "a variable name")) {
      return;
    }
    auto c = static_cast<char16_t>(unit[0] | (unit[1] << 8));
    if (c == 0) {
      break;
    }
    name += c;
  }
  auto guid = ReadGuid(guid_address);
  if (!guid) {
    return;
  }
  auto size = m.ReadGuest32(size_address, "DataSize");
  if (!size) {
    return;
  }
  board::VariableResult result = board_.GetVariable(name, *guid, *size);
  if (!m.WriteGuest32(size_address, static_cast<uint32_t>(result.dataSize), "DataSize")) {
    return;
  }
  if (result.status == board::kEfiSuccess) {
    if (data_out != 0 && !result.data.empty() &&
        !m.WriteGuest(data_out, result.data, "variable data")) {
      return;
    }
    if (attributes_out != 0 &&
        !m.WriteGuest32(attributes_out, result.attributes, "variable attributes")) {
      return;
    }
  }
  m.SetResult(result.status);
}

// Execute(This, SlaveAddress, Command, Operation, PecCheck, Length, Buffer)
void GuestFoundation::SmbusExecute(Machine& m) {
  uint32_t address = m.Arg(1) & 0x7F;  // the 7-bit address field of the by-value struct
  uint32_t command = m.Arg(2);
  auto operation = static_cast<uint8_t>(m.Arg(3));
  bool pec = (m.Arg(4) & 0xFF) != 0;  // a BOOLEAN is one byte of its stack slot
  uint32_t length_address = m.Arg(5);
  uint32_t buffer = m.Arg(6);
  if (length_address == 0) {
    m.SetResult(board::kEfiInvalidParameter);
    return;
  }
  auto length = m.ReadGuest32(length_address, "Length");
  if (!length) {
    return;
  }
  std::vector<uint8_t> sent(buffer != 0 ? board::SmbusWriteLength(operation, *length) : 0);
  if (!m.ReadGuest(buffer, sent, "the SMBus buffer")) {
    return;
  }
  board::SmbusResult result =
      board_.SmbusExecute(address, command, operation, pec, *length, sent);
  // A read that succeeded, with or without a warning, delivers its bytes.
  if (!board::IsError(result.status) && buffer != 0 && !result.data.empty() &&
      !m.WriteGuest(buffer, result.data, "SMBus read data")) {
    return;
  }
  if (!m.WriteGuest32(length_address, static_cast<uint32_t>(result.length), "Length")) {
    return;
  }
  m.SetResult(result.status);
}

// Get64(TokenNumber): the 64-bit value in EDX:EAX.
void GuestFoundation::PcdGet64(Machine& m) {
  uint64_t value = board_.PcdGet64(m.Arg(0));
  m.SetResult(static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32));
}

}  // namespace emu
