/** @file
  QEMU's fw_cfg device through its I/O ports: a 16-bit selector at 0x510 and
  an 8-bit data port at 0x511 that streams the selected item's bytes. Item
  0x19 is the file directory: a big-endian 32-bit count, then 64-byte entries
  (big-endian 32-bit size, big-endian 16-bit selector, 16 reserved bits, a
  56-byte NUL-padded name).
**/
#include "qemu/peim/HelperPeim.h"

namespace {

constexpr UINT16 kSelectorPort = 0x510;
constexpr UINT16 kDataPort = 0x511;
constexpr UINT16 kFileDirectory = 0x19;
constexpr UINT32 kNameBytes = 56;

/** Reads a big-endian number of Count bytes from the data port. @param[in] Count  1 to 4. **/
UINT32 ReadBigEndian(UINT32 Count) {
  UINT32 Value = 0;
  for (UINT32 i = 0; i < Count; ++i) {
    Value = (Value << 8) | HelperIn8(kDataPort);
  }
  return Value;
}

}  // namespace

void FwCfgRead(void *Buffer, UINT32 Count) {
  auto *Out = static_cast<volatile UINT8 *>(Buffer);
  for (UINT32 i = 0; i < Count; ++i) {
    UINT8 Byte = HelperIn8(kDataPort);
    if (Out != nullptr) {
      Out[i] = Byte;
    }
  }
}

EFI_STATUS FwCfgSelectFile(const char *Name, UINT32 *Size) {
  HelperOut16(kSelectorPort, kFileDirectory);
  UINT32 Count = ReadBigEndian(4);
  UINT16 Found = 0;
  for (UINT32 Entry = 0; Entry < Count; ++Entry) {
    UINT32 EntrySize = ReadBigEndian(4);
    auto Select = static_cast<UINT16>(ReadBigEndian(2));
    ReadBigEndian(2);
    bool Same = true;
    bool Ended = false;
    for (UINT32 i = 0; i < kNameBytes; ++i) {
      char c = static_cast<char>(HelperIn8(kDataPort));
      char Want = Ended ? '\0' : Name[i];
      if (Want == '\0') {
        Ended = true;
      }
      if (c != Want) {
        Same = false;
      }
    }
    if (Same && Found == 0) {
      Found = Select;
      *Size = EntrySize;
    }
  }
  if (Found == 0) {
    return EFI_NOT_FOUND;
  }
  HelperOut16(kSelectorPort, Found);
  return EFI_SUCCESS;
}
