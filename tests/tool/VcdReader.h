// A strict reader of Value Change Dump files, for checking the timeline the
// tool writes: it accepts only the standard layout (header sections, a
// timescale of 1, 10 or 100 s, ms, us or ns, one scope, wire variables with
// distinct identifiers and names, $dumpvars with every variable, increasing
// times, changes of declared variables at their declared width) and throws
// std::runtime_error naming the first token that breaks it. Neither GTKWave's
// tools nor sigrok reject a file with time going backwards or an undeclared
// identifier: this reader is the check on that. Times are given in ns,
// whatever the timescale.
#ifndef CLOCKRAMP_TESTS_TOOL_VCDREADER_H_
#define CLOCKRAMP_TESTS_TOOL_VCDREADER_H_

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace clockramp::tool::test {

struct VcdVariable {
  std::string id;
  std::string name;
  unsigned width = 0;
};

struct VcdChange {
  uint64_t time = 0;  // ns
  std::string id;
  std::string value;  // the bits, most significant first ("0101", "1", "xxxx")
};

struct VcdFile {
  std::string date;
  std::string version;
  std::string timescale;     // as written: "100 ns"
  uint64_t timescaleNs = 0;  // one time step in ns
  std::string scope;
  std::vector<VcdVariable> variables;
  std::map<std::string, std::string> initial;  // id -> bits from $dumpvars
  std::vector<VcdChange> changes;
  uint64_t endTime = 0;  // the last #time, in ns

  // The variable of a name; throws when there is none.
  [[nodiscard]] const VcdVariable& Variable(const std::string& name) const;
  // Bits of a variable at a time in ns (after the changes at that time).
  [[nodiscard]] std::string ValueAt(const std::string& name, uint64_t time) const;
  [[nodiscard]] std::string FinalValue(const std::string& name) const {
    return ValueAt(name, endTime);
  }
};

VcdFile ReadVcd(std::istream& in);

// The bits as a number (throws on x or z).
uint64_t BitsValue(const std::string& bits);

}  // namespace clockramp::tool::test

#endif  // CLOCKRAMP_TESTS_TOOL_VCDREADER_H_
