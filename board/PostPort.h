// The POST code port 0x80: keeps every byte written to it, in order. Writes
// of any width keep their low byte; reads are not decoded (all ones).
#ifndef CLOCKRAMP_BOARD_POSTPORT_H_
#define CLOCKRAMP_BOARD_POSTPORT_H_

#include <cstdint>
#include <vector>

namespace board {

class PostPort {
 public:
  static constexpr uint16_t kPort = 0x80;

  void Write(uint8_t value) { codes_.push_back(value); }
  [[nodiscard]] const std::vector<uint8_t>& Codes() const { return codes_; }

 private:
  std::vector<uint8_t> codes_;
};

}  // namespace board

#endif  // CLOCKRAMP_BOARD_POSTPORT_H_
