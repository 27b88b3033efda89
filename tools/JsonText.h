// JSON text from a file, parsed within bounds. The document is built by our
// own handler of the parser's events, so that nesting deeper than the caller
// allows, a member given twice and a number no 64-bit integer or double can
// hold are refused with the member's path, and every message is our own (the
// library's exception text never reaches a user). Numbers that are not
// 64-bit integers keep the text they were written with, for messages.
#ifndef CLOCKRAMP_TOOLS_JSONTEXT_H_
#define CLOCKRAMP_TOOLS_JSONTEXT_H_

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace clockramp::tool {

// Each number that is not a 64-bit integer (a fraction, an exponent, an
// integer past 64 bits), as written, by the path of its member.
using NumberTexts = std::map<std::string, std::string>;

// Text that is not JSON, or not within bounds. Member() is the dotted path
// ("clockGenerator.failures[0].status") where that is known, else empty;
// Problem() says what is wrong, with the line and column for a syntax error.
class JsonTextError : public std::runtime_error {
 public:
  JsonTextError(std::string member, const std::string& problem)
      : std::runtime_error(problem), member_(std::move(member)) {}
  [[nodiscard]] const std::string& Member() const { return member_; }
  [[nodiscard]] std::string Problem() const { return what(); }

 private:
  std::string member_;
};

// Parses one JSON value (and nothing after it but white space) into
// `document`, with the texts of its numbers that are not 64-bit integers
// into `numbers`; objects and arrays may nest `maxDepth` deep. Throws
// JsonTextError.
void ParseJsonText(std::string_view text, size_t maxDepth, nlohmann::json& document,
                   NumberTexts& numbers);

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_JSONTEXT_H_
