/** @file
  Shared definitions of the two helper PEIMs that let the real PEI core of an
  IA-32 firmware under QEMU dispatch the clock ramp module on a scenario:

  - the scenario PEIM reads the scenario from QEMU's fw_cfg, programs the LPC
    bridge's ACPI registers, installs an SMBus2 PPI backed by a clock
    generator model and a read-only variable PPI, and puts a PCD PPI in front
    of the firmware's own that answers token 5 with the scenario's value;
  - the exit PEIM, dispatched after the module, installs the SMBus2 PPI when
    the scenario asks for it after the entry, logs the end state, restores
    the firmware's PCD PPI and stops QEMU through isa-debug-exit.

  Everything they see is logged as text lines on the debug console port, so
  that the lines land in QEMU's trace in order with the module's own port
  and configuration accesses. Freestanding: <stdint.h>, <stddef.h> and the
  project's PI definitions only.
**/
#ifndef CLOCKRAMP_QEMU_PEIM_HELPERPEIM_H_
#define CLOCKRAMP_QEMU_PEIM_HELPERPEIM_H_

#include "pei/PiDefs.h"

//
// A helper's writable global. Dispatched from the apriori file, before
// memory, a helper runs where it lies in the PEI volume, which this firmware
// decompresses to RAM, so its data can live in the image, but only as bytes
// of the file: a zero-initialised global would otherwise go to an
// uninitialised section tail that has no bytes in the file, and the core
// would zero it, and the global would live, over the file that follows (the
// module's). In the .data section the linker writes it out as zeros.
// Dispatched after memory, the core copies the image to memory as usual.
// Compiled for the host (the fuzz target of the scenario reader,
// fuzz/readers/), it is an ordinary global that AddressSanitizer can guard.
//
#ifdef CLOCKRAMP_HELPER_ON_HOST
#define HELPER_GLOBAL
#else
#define HELPER_GLOBAL __attribute__((section(".data")))
#endif

//
// The scenario file in fw_cfg, written by the host harness (little-endian):
//   header (SCENARIO_HEADER), 256 clock generator registers,
//   FailureCount x {UINT32 transaction, UINT32 status},
//   VariableCount x {UINT32 name bytes (UTF-16 incl. NUL), EFI_GUID,
//                    UINT32 data size, name, data}.
//
#define SCENARIO_FW_CFG_NAME "opt/clockramp/scenario"
#define SCENARIO_MAGIC 0x53515243U  // "CRQS"
#define SCENARIO_VERSION 1U

#define SMBUS2_AFTER_ENTRY 0U
#define SMBUS2_BEFORE_ENTRY 1U
#define SMBUS2_ABSENT 2U

#define NO_REPORTED_COUNT 0xFFFFU

#pragma pack(push, 1)
typedef struct {
  UINT32 Magic;
  UINT32 Version;
  UINT64 PcdToken5;      // what Get64(5) answers through the shim
  UINT32 Smbus2Timing;   // SMBUS2_*
  UINT16 ReportedCount;  // fixed byte count of register 8, or NO_REPORTED_COUNT
  UINT16 AcpiBase;       // PMBASE before the module runs
  UINT8 AcpiControl;     // ACPI_CNTL before the module runs
  UINT8 Reserved[3];
  UINT32 FailureCount;
  UINT32 VariableCount;
} SCENARIO_HEADER;
#pragma pack(pop)

#define MAX_FAILURES 16U
#define MAX_VARIABLES 8U
#define MAX_NAME_CHARS 64U

//
// The helpers' log port (next to the firmware's debug console at 0x402, and
// kept apart from it: qemu/TraceReader.h) and the isa-debug-exit port.
//
#define HELPER_LOG_PORT 0x403
#define DEBUG_EXIT_PORT 0xF4
#define DEBUG_EXIT_VALUE 0x10  // QEMU exits with (value << 1) | 1 = 33

//
// Port I/O used by the helpers (the module has its own layer). On the host
// the fuzz target answers the ports: it plays fw_cfg, the debug console and
// the LPC bridge's configuration space.
//
#ifdef CLOCKRAMP_HELPER_ON_HOST
void HelperOut8(UINT16 Port, UINT8 Value);
void HelperOut16(UINT16 Port, UINT16 Value);
void HelperOut32(UINT16 Port, UINT32 Value);
UINT8 HelperIn8(UINT16 Port);
UINT32 HelperIn32(UINT16 Port);
#else
static inline void HelperOut8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}
static inline void HelperOut16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}
static inline void HelperOut32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}
static inline UINT8 HelperIn8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}
static inline UINT32 HelperIn32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}
#endif

//
// The LPC bridge (00:1F.0) through the configuration ports 0xCF8/0xCFC,
// a dword at a time: PMBASE is register 0x40, ACPI_CNTL register 0x44.
//
static inline void LpcSelect(UINT8 Register) {
  HelperOut32(0xCF8, 0x80000000U | (31U << 11) | (Register & 0xFCU));
}
static inline UINT32 LpcRead32(UINT8 Register) {
  LpcSelect(Register);
  return HelperIn32(0xCFC);
}
static inline void LpcWrite32(UINT8 Register, UINT32 Value) {
  LpcSelect(Register);
  HelperOut32(0xCFC, Value);
}

//
// fw_cfg (FwCfg.cpp).
//

/**
  Finds a file in fw_cfg's directory and selects it for reading.

  @param[in]  Name  The file's name, NUL-terminated ASCII.
  @param[out] Size  The file's size in bytes.

  @retval EFI_SUCCESS    The file is selected; its bytes follow on the data port.
  @retval EFI_NOT_FOUND  No file of that name (or no fw_cfg device).
**/
EFI_STATUS FwCfgSelectFile(const char *Name, UINT32 *Size);

/**
  Reads the next bytes of the selected fw_cfg item.

  @param[out] Buffer  Where the bytes go (NULL: they are skipped).
  @param[in]  Count   How many bytes.
**/
void FwCfgRead(void *Buffer, UINT32 Count);

//
// Debug log lines (DebugLog.cpp). A line is written piece by piece and ended
// with LogEnd.
//

/** Writes NUL-terminated ASCII text. @param[in] Text  The text. **/
void LogText(const char *Text);
/** Writes a space and Value in hexadecimal, no leading zeros. @param[in] Value  The number. **/
void LogHex(UINT64 Value);
/**
  Writes a space and Count bytes as two hexadecimal digits each, no spaces
  ("-" for none).

  @param[in] Bytes  The bytes.
  @param[in] Count  How many.
**/
void LogBytes(const void *Bytes, UINT32 Count);
/** Ends the line. **/
void LogEnd(void);

//
// The clock generator model behind the SMBus2 PPI (ClockGenModel.cpp).
//
typedef struct {
  UINT8 Registers[256];
  UINT16 ReportedCount;  // NO_REPORTED_COUNT: register 8 reports what was written
  UINT32 FailureCount;
  UINT32 FailureTransaction[MAX_FAILURES];
  UINT32 FailureStatus[MAX_FAILURES];
  UINT32 Transactions;  // Execute calls so far
} CLOCK_GEN_MODEL;

/**
  One SMBus transaction on the model, logged as an "smbus" line.

  @param[in,out] Model      The clock generator.
  @param[in]     Address    7-bit device address.
  @param[in]     Command    Register number.
  @param[in]     Operation  EFI_SMBUS_OPERATION.
  @param[in,out] Length     Bytes asked for; bytes transferred by a read.
  @param[in,out] Buffer     Bytes to write, or where the read ones go.

  @return The status of the transaction (EFI_SUCCESS, an injected failure,
          EFI_DEVICE_ERROR for another address, EFI_UNSUPPORTED for another
          operation, EFI_INVALID_PARAMETER for a block over 32 bytes).
**/
EFI_STATUS ClockGenModelExecute(CLOCK_GEN_MODEL *Model, UINTN Address, UINTN Command,
                                UINTN Operation, UINTN *Length, UINT8 *Buffer);

//
// What the scenario PEIM hands the exit PEIM, installed as a private PPI.
//
typedef struct {
  const EFI_PEI_PPI_DESCRIPTOR *Smbus2;   // the SMBus2 PPI to install after the entry
  UINT32 Smbus2Timing;                    // SMBUS2_*
  const EFI_PEI_PPI_DESCRIPTOR *PcdOld;   // the firmware's PCD PPI (NULL if not replaced)
  const EFI_PEI_PPI_DESCRIPTOR *PcdShim;  // ours, in its place
  const CLOCK_GEN_MODEL *Model;
} HELPER_CONTEXT;

// 3C0D7B1E-6A2F-4E1B-9C3D-5F7A8B9C0D12: the helper context PPI.
#define HELPER_CONTEXT_PPI_GUID                                                    \
  {                                                                                \
    0x3C0D7B1E, 0x6A2F, 0x4E1B, { 0x9C, 0x3D, 0x5F, 0x7A, 0x8B, 0x9C, 0x0D, 0x12 } \
  }

#endif  // CLOCKRAMP_QEMU_PEIM_HELPERPEIM_H_
