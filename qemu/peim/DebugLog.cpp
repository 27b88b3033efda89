/** @file
  Log lines on the helpers' own log port, one byte at a time, so that each
  byte is one traced port write in order with everything else.
**/
#include "qemu/peim/HelperPeim.h"

namespace {

/** Writes one hexadecimal digit. @param[in] Nibble  0 to 15. **/
void PutDigit(UINT32 Nibble) {
  HelperOut8(HELPER_LOG_PORT, static_cast<UINT8>(Nibble < 10 ? '0' + Nibble : 'a' + Nibble - 10));
}

}  // namespace

void LogText(const char *Text) {
  for (; *Text != '\0'; ++Text) {
    HelperOut8(HELPER_LOG_PORT, static_cast<UINT8>(*Text));
  }
}

void LogHex(UINT64 Value) {
  HelperOut8(HELPER_LOG_PORT, ' ');
  int Shift = 60;
  while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
    Shift -= 4;
  }
  for (; Shift >= 0; Shift -= 4) {
    PutDigit(static_cast<UINT32>(Value >> Shift) & 0xF);
  }
}

void LogBytes(const void *Bytes, UINT32 Count) {
  HelperOut8(HELPER_LOG_PORT, ' ');
  if (Count == 0) {
    HelperOut8(HELPER_LOG_PORT, '-');
  }
  const auto *In = static_cast<const UINT8 *>(Bytes);
  for (UINT32 i = 0; i < Count; ++i) {
    PutDigit(In[i] >> 4);
    PutDigit(In[i] & 0xFU);
  }
}

void LogEnd(void) { HelperOut8(HELPER_LOG_PORT, '\n'); }
