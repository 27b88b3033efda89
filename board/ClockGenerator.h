// The board's SMBus with its one device, the clock generator at 7-bit
// address 0x6B: 256 one-byte registers reached by block transactions.
//
// - Block write at command c of n bytes stores them at c..c+n-1.
// - Block read at command c transfers min(Length, count) bytes from c on,
//   where count is what the device reports in its byte-count register 8 (the
//   last value written there, or a fixed count the board is configured with,
//   which register 8 then also reads back as).
// - The register pointer wraps from 255 to 0 within one transaction.
// - Blocks are limited to 32 bytes as on any SMBus; a longer Length, or a
//   command above 255, is refused with EFI_INVALID_PARAMETER.
// - Other addresses answer EFI_DEVICE_ERROR; other operations EFI_UNSUPPORTED.
// - Any transaction, numbered from 0 over every Execute (any address, any
//   outcome), can be given a chosen status. An error makes it fail: it
//   changes and transfers nothing. A warning (a status that is not an
//   error) lets it run as it would, the device acting and a read delivering
//   its bytes, and then replaces EFI_SUCCESS with the warning, as a PPI
//   that carried out the transfer and has something to remark does.
#ifndef CLOCKRAMP_BOARD_CLOCKGENERATOR_H_
#define CLOCKRAMP_BOARD_CLOCKGENERATOR_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "board/Event.h"

namespace board {

// One injected status: the transaction with this index answers this status
// (an error without acting; a warning after acting as on success).
struct SmbusFailure {
  uint64_t transaction = 0;
  uint32_t status = 0;
  bool operator==(const SmbusFailure&) const = default;
};

// What one Execute did.
struct SmbusResult {
  uint32_t status = 0;
  uint64_t length = 0;        // Length after the call (bytes transferred by a read)
  std::vector<uint8_t> data;  // bytes a read delivers into the buffer (none when it failed)
  uint64_t busBits = 0;       // bit times the transaction occupied the bus
};

class ClockGenerator {
 public:
  static constexpr uint8_t kAddress = 0x6B;
  static constexpr uint8_t kByteCountRegister = 8;
  static constexpr uint8_t kCodeLowRegister = 19;
  static constexpr uint8_t kCodeHighRegister = 20;
  static constexpr uint64_t kMaxBlockLength = 32;

  explicit ClockGenerator(const std::array<uint8_t, 256>& registers,
                          std::optional<uint8_t> reportedCount = std::nullopt,
                          std::vector<SmbusFailure> failures = {});

  // One SMBus transaction. `writeData` holds the bytes a write operation sends.
  SmbusResult Execute(uint64_t address, uint64_t command, uint8_t operation, uint64_t length,
                      std::span<const uint8_t> writeData);

  // The stored register (what was last written or configured).
  [[nodiscard]] uint8_t Register(uint8_t reg) const { return registers_[reg]; }
  // The register as a read delivers it (register 8 may report a fixed count).
  [[nodiscard]] uint8_t ReadBack(uint8_t reg) const;
  [[nodiscard]] const std::array<uint8_t, 256>& Registers() const { return registers_; }
  // The 11-bit frequency code: register 20 bits 2:0 and register 19.
  [[nodiscard]] uint16_t Code() const;
  // Execute calls so far (the index the next transaction gets).
  [[nodiscard]] uint64_t Transactions() const { return transactions_; }

 private:
  std::optional<uint32_t> InjectedFailure(uint64_t index) const;
  // The transaction as the device answers it, without injected statuses.
  SmbusResult Perform(uint64_t address, uint64_t command, uint8_t operation, uint64_t length,
                      std::span<const uint8_t> writeData);
  SmbusResult WriteBlock(uint8_t command, uint64_t length, std::span<const uint8_t> bytes);
  SmbusResult ReadBlock(uint8_t command, uint64_t length) const;

  std::array<uint8_t, 256> registers_;
  std::optional<uint8_t> reportedCount_;
  std::vector<SmbusFailure> failures_;
  uint64_t transactions_ = 0;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_CLOCKGENERATOR_H_
