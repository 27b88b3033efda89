// The reader of efivarfs files (a scenario's "efivarfs" member, `clockramp
// setup`): the file's name and its bytes. The first input byte is the name's
// length, the name follows, then the file. A file that reads must encode to
// the same bytes, since `setup` writes back every byte it did not change.
#include <algorithm>
#include <string>

#include "fuzz/readers/ReaderTarget.h"
#include "tools/EfiVariableFile.h"

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzEfiVariable) {
  if (data.empty()) {
    return;
  }
  const size_t nameLength = std::min<size_t>(data[0], data.size() - 1);
  const std::string name(Text(data.subspan(1, nameLength)));
  const Input bytes = data.subspan(1 + nameLength);
  for (const tool::VariableId& id :
       {tool::SetupVariableId(), tool::PchRcConfigurationVariableId()}) {
    try {
      tool::CheckVariableFileName(name, id);
    } catch (const tool::EfiVariableFileError&) {
      // Another variable's name.
    }
  }
  try {
    const tool::EfiVariableFile file = tool::ParseEfiVariableFile(bytes, name);
    const std::vector<uint8_t> encoded = tool::EncodeEfiVariableFile(file);
    if (!std::equal(encoded.begin(), encoded.end(), bytes.begin(), bytes.end())) {
      Finding("the variable file does not encode back to its bytes");
    }
  } catch (const tool::EfiVariableFileError&) {
    // Refused.
  }
}

}  // namespace clockramp::fuzz
