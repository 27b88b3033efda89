// The platform configuration database as the board answers it: token 5 (the
// PCI Express configuration base) holds a configured 64-bit value, every
// other token reads 0.
#ifndef CLOCKRAMP_BOARD_PCD_H_
#define CLOCKRAMP_BOARD_PCD_H_

#include <cstdint>

namespace board {

class Pcd {
 public:
  static constexpr uint64_t kPcieBaseToken = 5;

  explicit Pcd(uint64_t pcieBase = 0) : pcieBase_(pcieBase) {}
  [[nodiscard]] uint64_t Get64(uint64_t token) const {
    return token == kPcieBaseToken ? pcieBase_ : 0;
  }

 private:
  uint64_t pcieBase_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_PCD_H_
