#include "board/BoardConfig.h"

namespace board {

std::vector<uint8_t> MakeSetup(uint16_t targetCode, uint8_t levelSelect, uint8_t stepDelayUs) {
  std::vector<uint8_t> data(setup::kSize, 0);
  data[setup::kRampTargetCodeOffset] = static_cast<uint8_t>(targetCode);
  data[setup::kRampTargetCodeOffset + 1] = static_cast<uint8_t>(targetCode >> 8);
  data[setup::kRampLevelSelectOffset] = levelSelect;
  data[setup::kRampStepDelayOffset] = stepDelayUs;
  return data;
}

std::vector<uint8_t> MakePchRcConfiguration(uint8_t selector) {
  std::vector<uint8_t> data(pchrc::kSize, 0);
  data[pchrc::kSelectorOffset] = selector;
  return data;
}

std::array<uint8_t, 256> MakeClockGeneratorRegisters(uint16_t code) {
  std::array<uint8_t, 256> regs{};
  regs[1] = 0x25;
  regs[3] = 0x80;
  regs[6] = 0xC0;
  regs[ClockGenerator::kCodeLowRegister] = static_cast<uint8_t>(code);
  regs[ClockGenerator::kCodeHighRegister] = static_cast<uint8_t>((code >> 8) & 0x07);
  return regs;
}

}  // namespace board
