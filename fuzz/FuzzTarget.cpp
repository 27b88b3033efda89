// libFuzzer entry: decodes the input into a board (fuzz/FuzzInput.h), runs
// the module natively under AddressSanitizer and UndefinedBehaviorSanitizer,
// and aborts with a description when the run breaks the reference model or
// one of its invariants.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string description;
  const auto problems = clockramp::fuzz::Check(std::span<const uint8_t>(data, size), &description);
  if (!problems.empty()) {
    std::fprintf(stderr, "clockramp fuzz finding on board: %s\n", description.c_str());
    for (const std::string& p : problems) {
      std::fprintf(stderr, "  %s\n", p.c_str());
    }
    std::abort();
  }
  return 0;
}
