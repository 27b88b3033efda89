#include "VcdReader.h"

#include <charconv>
#include <set>
#include <sstream>
#include <stdexcept>

namespace clockramp::tool::test {
namespace {

class Tokens {
 public:
  explicit Tokens(std::istream& in) : in_(in) {}

  bool Next(std::string& token) {
    if (!(in_ >> token)) {
      return false;
    }
    ++count_;
    return true;
  }
  std::string Expect(const char* what) {
    std::string token;
    if (!Next(token)) {
      // Appended, not concatenated: GCC 12 warns falsely on "literal" + std::string.
      std::string problem = "file ends where ";
      problem.append(what).append(" was expected");
      Fail(problem);
    }
    return token;
  }
  // Words up to "$end", joined by spaces.
  std::string UntilEnd() {
    std::string text;
    for (std::string token = Expect("$end"); token != "$end"; token = Expect("$end")) {
      text += (text.empty() ? "" : " ") + token;
    }
    return text;
  }
  // A decimal number, all of the token, that fits `T`.
  template <typename T>
  T Number(const std::string& token, const char* what) const {
    T value = 0;
    const char* end = token.data() + token.size();
    auto [stop, ec] = std::from_chars(token.data(), end, value);
    if (ec != std::errc() || stop != end) {
      Fail(std::string(what) + " \"" + token + "\" is not a number");
    }
    return value;
  }
  [[noreturn]] void Fail(const std::string& problem) const {
    throw std::runtime_error("VCD token " + std::to_string(count_) + ": " + problem);
  }

 private:
  std::istream& in_;
  size_t count_ = 0;
};

// "100 ns" in ns; 0 when it is not a timescale this reader takes.
uint64_t TimescaleNs(const std::string& text) {
  std::istringstream in(text);
  std::string number;
  std::string unit;
  std::string extra;
  if (!(in >> number >> unit) || (in >> extra)) {
    return 0;
  }
  const std::map<std::string, uint64_t> units = {
      {"s", 1000000000}, {"ms", 1000000}, {"us", 1000}, {"ns", 1}};
  auto u = units.find(unit);
  if ((number != "1" && number != "10" && number != "100") || u == units.end()) {
    return 0;
  }
  return std::stoull(number) * u->second;
}

bool IsBits(const std::string& bits) {
  return !bits.empty() && bits.find_first_not_of("01xXzZ") == std::string::npos;
}

}  // namespace

const VcdVariable& VcdFile::Variable(const std::string& name) const {
  for (const VcdVariable& v : variables) {
    if (v.name == name) {
      return v;
    }
  }
  throw std::runtime_error("no VCD variable " + name);
}

std::string VcdFile::ValueAt(const std::string& name, uint64_t time) const {
  const std::string& id = Variable(name).id;
  std::string value = initial.at(id);
  for (const VcdChange& c : changes) {
    if (c.time > time) {
      break;
    }
    if (c.id == id) {
      value = c.value;
    }
  }
  return value;
}

uint64_t BitsValue(const std::string& bits) {
  uint64_t value = 0;
  for (char bit : bits) {
    if (bit != '0' && bit != '1') {
      throw std::runtime_error("not a known value: " + bits);
    }
    value = value * 2 + (bit == '1' ? 1 : 0);
  }
  return value;
}

VcdFile ReadVcd(std::istream& in) {
  VcdFile file;
  Tokens tokens(in);
  std::map<std::string, unsigned> widths;
  int scopes = 0;
  // Header.
  for (;;) {
    std::string token = tokens.Expect("a header section");
    if (token == "$date") {
      file.date = tokens.UntilEnd();
    } else if (token == "$version") {
      file.version = tokens.UntilEnd();
    } else if (token == "$timescale") {
      file.timescale = tokens.UntilEnd();
      file.timescaleNs = TimescaleNs(file.timescale);
      if (file.timescaleNs == 0) {
        tokens.Fail("timescale \"" + file.timescale + "\" is not 1, 10 or 100 s, ms, us or ns");
      }
    } else if (token == "$scope") {
      std::string kind = tokens.Expect("scope kind");
      file.scope = tokens.Expect("scope name");
      if (kind != "module" || tokens.Expect("$end") != "$end") {
        tokens.Fail("malformed $scope");
      }
      ++scopes;
    } else if (token == "$upscope") {
      if (tokens.Expect("$end") != "$end" || scopes-- == 0) {
        tokens.Fail("unbalanced $upscope");
      }
    } else if (token == "$var") {
      if (scopes != 1) {
        tokens.Fail("$var outside the scope");
      }
      std::string type = tokens.Expect("var type");
      VcdVariable v;
      v.width = tokens.Number<unsigned>(tokens.Expect("var width"), "var width");
      v.id = tokens.Expect("var id");
      v.name = tokens.Expect("var name");
      std::string rest = tokens.UntilEnd();
      // Appended rather than "[" + ...: GCC 12 at -O3 reports a false
      // -Wrestrict in the inlined operator+(const char*, std::string&&).
      std::string range;
      if (v.width != 1) {
        range.append("[").append(std::to_string(v.width - 1)).append(":0]");
      }
      if (type != "wire" || v.width == 0 || rest != range || widths.contains(v.id)) {
        tokens.Fail("malformed $var for " + v.name);
      }
      for (const VcdVariable& other : file.variables) {
        if (other.name == v.name) {
          tokens.Fail("variable " + v.name + " declared twice");
        }
      }
      widths[v.id] = v.width;
      file.variables.push_back(v);
    } else if (token == "$enddefinitions") {
      if (tokens.Expect("$end") != "$end" || scopes != 0) {
        tokens.Fail("malformed $enddefinitions");
      }
      break;
    } else {
      tokens.Fail("unexpected header token " + token);
    }
  }
  if (file.date.empty() || file.version.empty() || file.timescale.empty() || widths.empty()) {
    tokens.Fail("missing $date, $version, $timescale or variables");
  }

  // Body: times, $dumpvars, changes.
  bool haveTime = false;
  bool inDump = false;
  bool dumped = false;
  uint64_t now = 0;
  auto record = [&](const std::string& id, const std::string& bits) {
    auto width = widths.find(id);
    if (width == widths.end() || !IsBits(bits) || bits.size() != width->second) {
      tokens.Fail("bad value " + bits + " for id " + id);
    }
    if (inDump) {
      file.initial[id] = bits;
    } else {
      if (!dumped) {
        tokens.Fail("a change before $dumpvars");
      }
      file.changes.push_back({now, id, bits});
    }
  };
  std::string token;
  while (tokens.Next(token)) {
    if (token[0] == '#') {
      const auto steps = tokens.Number<uint64_t>(token.substr(1), "time");
      if (steps > UINT64_MAX / file.timescaleNs) {
        tokens.Fail("time " + token + " is past 2^64 ns");
      }
      uint64_t t = steps * file.timescaleNs;
      if (haveTime && t <= now) {
        tokens.Fail("time " + token + " does not increase");
      }
      now = t;
      haveTime = true;
      file.endTime = t;
    } else if (token == "$dumpvars") {
      if (dumped || inDump) {
        tokens.Fail("second $dumpvars");
      }
      inDump = true;
    } else if (token == "$end") {
      if (!inDump) {
        tokens.Fail("stray $end");
      }
      inDump = false;
      dumped = true;
      if (file.initial.size() != widths.size()) {
        tokens.Fail("$dumpvars does not give every variable");
      }
    } else if (token[0] == 'b' || token[0] == 'B') {
      record(tokens.Expect("vector id"), token.substr(1));
    } else if (token.size() >= 2 && IsBits(token.substr(0, 1))) {
      record(token.substr(1), token.substr(0, 1));
    } else {
      tokens.Fail("unexpected token " + token);
    }
  }
  if (!dumped || inDump) {
    tokens.Fail("no complete $dumpvars");
  }
  return file;
}

}  // namespace clockramp::tool::test
