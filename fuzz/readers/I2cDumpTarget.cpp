// The reader of i2cdump's text (a scenario's "i2cdump" file). A dump that
// reads must read the same when written back in byte-mode layout.
#include <sstream>

#include "fuzz/readers/ReaderTarget.h"
#include "tools/I2cDump.h"

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzI2cDump) {
  tool::RegisterDump dump;
  try {
    dump = tool::ParseI2cDump(Text(data), "dump.txt");
  } catch (const tool::I2cDumpError&) {
    return;
  }
  std::ostringstream written;
  tool::WriteI2cDump(written, dump);
  tool::RegisterDump again;
  try {
    again = tool::ParseI2cDump(written.str(), "written");
  } catch (const tool::I2cDumpError& e) {
    Finding(std::string("the dump written back does not read: ") + e.what());
  }
  if (again != dump) {
    Finding("the dump written back reads differently");
  }
}

}  // namespace clockramp::fuzz
