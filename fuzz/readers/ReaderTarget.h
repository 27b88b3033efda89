// The fuzz targets of the readers of outside input (docs/robustness.md):
// firmware images, PE32 and TE images, scenario files, register dumps,
// variable files, logic-analyzer captures, VCD files, QEMU traces and the
// scenario file the helper PEIM reads inside the firmware.
//
// A target is one function over the input's bytes, written as
//   CLOCKRAMP_READER_TARGET(FuzzSomething) { ... data ... }
// It runs the reader the way the tools do, lets through only the reader's
// own refusal (its error type), and calls Finding() when what the reader
// gave back breaks a rule it must keep. Any other exception escapes and
// ends the process, which libFuzzer and the replay both report.
//
// Compiled with CLOCKRAMP_LIBFUZZER_TARGET defined, the file also becomes
// libFuzzer's entry point (one fuzz binary per target, preset "fuzz");
// every build links all of them into clockramp-fuzz-readers, which writes
// the seed corpora and replays inputs without libFuzzer (ctest).
#ifndef CLOCKRAMP_FUZZ_READERS_READERTARGET_H_
#define CLOCKRAMP_FUZZ_READERS_READERTARGET_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace clockramp::fuzz {

using Input = std::span<const uint8_t>;

// Reports a broken rule and stops, so that the input is kept as a finding.
[[noreturn]] inline void Finding(const std::string& what) {
  std::fprintf(stderr, "clockramp fuzz finding: %s\n", what.c_str());
  std::abort();
}

// The input as text, byte for byte.
inline std::string_view Text(Input data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// A refusal's message must be one line of printable ASCII: it names the file
// and what is wrong, and input bytes in it are escaped.
inline void CheckMessage(std::string_view message) {
  for (char c : message) {
    if (c < 0x20 || c > 0x7E) {
      Finding("the refusal \"" + std::string(message) + "\" holds the byte " +
              std::to_string(static_cast<unsigned char>(c)));
    }
  }
}

}  // namespace clockramp::fuzz

#ifdef CLOCKRAMP_LIBFUZZER_TARGET
#define CLOCKRAMP_READER_TARGET(function)                                    \
  void function(::clockramp::fuzz::Input data);                              \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) { \
    function(::clockramp::fuzz::Input(bytes, size));                         \
    return 0;                                                                \
  }                                                                          \
  void function(::clockramp::fuzz::Input data)
#else
#define CLOCKRAMP_READER_TARGET(function) void function(::clockramp::fuzz::Input data)
#endif

#endif  // CLOCKRAMP_FUZZ_READERS_READERTARGET_H_
