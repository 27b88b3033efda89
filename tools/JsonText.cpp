#include "tools/JsonText.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "image/Printable.h"

namespace clockramp::tool {
namespace {

using Json = nlohmann::json;

// Line and column (from 1) of a byte offset into the text.
std::pair<size_t, size_t> LineAndColumn(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t lineStart = before.rfind('\n');
  const size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  return {line, column};
}

// Builds the document from the parser's events, keeping the path of the value
// being read for messages.
class Builder final : public nlohmann::json_sax<Json> {
 public:
  Builder(std::string_view text, size_t maxDepth, Json& document, NumberTexts& numbers)
      : text_(text), maxDepth_(maxDepth), document_(document), numbers_(numbers) {}

  bool null() override { return Add(Json(nullptr)) != nullptr; }
  bool boolean(bool value) override { return Add(Json(value)) != nullptr; }
  bool number_integer(number_integer_t value) override { return Add(Json(value)) != nullptr; }
  bool number_unsigned(number_unsigned_t value) override { return Add(Json(value)) != nullptr; }
  bool number_float(number_float_t value, const string_t& written) override {
    numbers_[Path()] = written;
    return Add(Json(value)) != nullptr;
  }
  bool string(string_t& value) override { return Add(Json(std::move(value))) != nullptr; }
  bool binary(binary_t& /*value*/) override {
    throw JsonTextError(Path(), "binary data is not JSON text");
  }
  bool start_object(std::size_t /*elements*/) override {
    CheckDepth();
    Push(Add(Json::object()));
    return true;
  }
  bool key(string_t& key) override {
    Json& object = *open_.back().value;
    if (object.contains(key)) {
      open_.back().key = key;
      throw JsonTextError(Path(), "given twice in one object");
    }
    open_.back().key = std::move(key);
    return true;
  }
  bool end_object() override {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*elements*/) override {
    CheckDepth();
    Push(Add(Json::array()));
    return true;
  }
  bool end_array() override {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::json::exception& error) override {
    if (error.id == kNumberOverflow) {
      // The token is the number as written.
      throw JsonTextError(Path(), fmt::format("{} is out of range", files::Printable(token, 40)));
    }
    // `position` counts the characters read, the one the parser stopped at
    // included.
    const size_t at = position == 0 ? 0 : position - 1;
    const auto [line, column] = LineAndColumn(text_, at);
    if (at >= text_.size()) {
      throw JsonTextError("", fmt::format("not valid JSON: line {}, column {}: the text ends "
                                          "before the value does",
                                          line, column));
    }
    throw JsonTextError("", fmt::format("not valid JSON: line {}, column {}: unexpected '{}'", line,
                                        column, files::Printable(text_.substr(at, 1))));
  }

 private:
  // The parser's code for a number too large for a double (1e400).
  static constexpr int kNumberOverflow = 406;

  struct Container {
    Json* value;
    std::string key;  // the member being read, in an object
  };

  // Places a value where the parser is: the whole document, the next
  // element of the open array or the member of the open object.
  Json* Add(Json value) {
    if (open_.empty()) {
      document_ = std::move(value);
      return &document_;
    }
    Json& parent = *open_.back().value;
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    Json& member = parent[open_.back().key];
    member = std::move(value);
    return &member;
  }

  // A value inside an open array or object stays where it is until the
  // container is closed: nothing is added to the parent meanwhile.
  void Push(Json* container) { open_.push_back({container, {}}); }

  // Before a container opens: the depth it would reach.
  void CheckDepth() const {
    if (open_.size() >= maxDepth_) {
      throw JsonTextError(Path(), fmt::format("nested more than {} deep", maxDepth_));
    }
  }

  // The path of the value the parser is at: "a.b[2].c". An open container
  // below the last holds the value being read as its last element or member.
  [[nodiscard]] std::string Path() const {
    std::string path;
    for (size_t i = 0; i < open_.size(); ++i) {
      const Container& open = open_[i];
      const bool last = i + 1 == open_.size();
      if (open.value->is_array()) {
        path += fmt::format("[{}]", open.value->size() - (last ? 0 : 1));
      } else if (!open.key.empty()) {
        path += (path.empty() ? "" : ".") + open.key;
      }
    }
    return path;
  }

  std::string_view text_;
  size_t maxDepth_;
  std::vector<Container> open_;
  Json& document_;
  NumberTexts& numbers_;
};

}  // namespace

void ParseJsonText(std::string_view text, size_t maxDepth, nlohmann::json& document,
                   NumberTexts& numbers) {
  Builder builder(text, maxDepth, document, numbers);
  Json::sax_parse(text, &builder);
}

}  // namespace clockramp::tool
