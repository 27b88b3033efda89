// Reading the text files a board hands us (register dumps, decoder output):
// the whole file within a size limit, and its lines one at a time.
#ifndef CLOCKRAMP_TOOLS_TEXTLINES_H_
#define CLOCKRAMP_TOOLS_TEXTLINES_H_

#include <cstddef>
#include <string_view>

namespace clockramp::tool {

// The lines of a text, without their line ends ("\n", or "\r\n" from a file
// saved on Windows), one at a time: nothing is kept per line, so a file of
// millions of empty lines costs no more memory than its own bytes.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  // The next line into `line`; false after the last one.
  bool Next(std::string_view& line);
  // The number of the line Next() gave last, from 1.
  [[nodiscard]] size_t Number() const { return number_; }

 private:
  std::string_view rest_;
  size_t number_ = 0;
};

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_TEXTLINES_H_
