#include "tools/TextLines.h"

namespace clockramp::tool {

bool LineReader::Next(std::string_view& line) {
  if (rest_.empty()) {
    return false;
  }
  const size_t end = rest_.find('\n');
  line = rest_.substr(0, end);
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
  ++number_;
  return true;
}

}  // namespace clockramp::tool
