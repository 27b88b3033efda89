// The strict VCD reader the tests check the timelines with
// (tests/tool/VcdReader.cpp). It promises std::runtime_error naming the token
// for anything it does not take; a file it takes must answer every
// variable's value, as bits and as a number, at any time.
#include <sstream>
#include <string>

#include "fuzz/readers/ReaderTarget.h"
#include "tests/tool/VcdReader.h"

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzVcd) {
  std::istringstream in{std::string(Text(data))};
  tool::test::VcdFile file;
  try {
    file = tool::test::ReadVcd(in);
  } catch (const std::runtime_error&) {
    return;
  }
  for (const tool::test::VcdVariable& v : file.variables) {
    for (const uint64_t t : {uint64_t{0}, file.endTime / 2, file.endTime}) {
      try {
        tool::test::BitsValue(file.ValueAt(v.name, t));
      } catch (const std::runtime_error&) {
        // x or z bits.
      }
    }
  }
}

}  // namespace clockramp::fuzz
