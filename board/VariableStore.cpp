#include "board/VariableStore.h"

#include "board/Status.h"

namespace board {
namespace {

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void VariableStore::Set(std::u16string name, const Guid& guid, std::vector<uint8_t> data,
                        uint32_t attributes) {
  variables_[{std::move(name), guid}] = Stored{std::move(data), attributes};
}

void VariableStore::Remove(const std::u16string& name, const Guid& guid) {
  variables_.erase({name, guid});
}

const std::vector<uint8_t>* VariableStore::Find(std::u16string_view name, const Guid& guid) const {
  auto it = variables_.find({std::u16string(name), guid});
  return it == variables_.end() ? nullptr : &it->second.data;
}

VariableResult VariableStore::Get(std::u16string_view name, const Guid& guid,
                                  uint64_t bufferSize) const {
  auto it = variables_.find({std::u16string(name), guid});
  if (it == variables_.end()) {
    return {kEfiNotFound, bufferSize, {}, 0};
  }
  const Stored& stored = it->second;
  if (bufferSize < stored.data.size()) {
    return {kEfiBufferTooSmall, stored.data.size(), {}, 0};
  }
  return {kEfiSuccess, stored.data.size(), stored.data, stored.attributes};
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      uint32_t cp = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) +
                    (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace board
