// Every reader target, by the name scripts/fuzz.sh and the replay use.
#ifndef CLOCKRAMP_FUZZ_READERS_READERTARGETS_H_
#define CLOCKRAMP_FUZZ_READERS_READERTARGETS_H_

#include <cstddef>
#include <filesystem>
#include <span>
#include <string_view>

#include "fuzz/readers/ReaderTarget.h"

namespace clockramp::fuzz {

void FuzzFirmwareWalk(Input data);
void FuzzPeImage(Input data);
void FuzzScenario(Input data);
void FuzzI2cDump(Input data);
void FuzzEfiVariable(Input data);
void FuzzCapture(Input data);
void FuzzVcd(Input data);
void FuzzQemuTrace(Input data);
void FuzzScenarioPeim(Input data);

struct ReaderTarget {
  std::string_view name;  // also the fuzz binary's: clockramp_fuzz_<name>
  void (*run)(Input);
  // The longest input libFuzzer makes (-max_len): room for the largest seed
  // that is worth mutating, no more, since every byte more slows the search.
  size_t maxLen;
};

// Every target, in the order the smoke run takes them.
std::span<const ReaderTarget> ReaderTargets();

// Writes each target's seed corpus into dir/<name>/ from the project's own
// files: its scenarios, board data and golden outputs, the module's image in
// every packaging, runs of the module on the simulated board, and Debian's
// OVMF, and prints how many seeds each target got.
void WriteSeeds(const std::filesystem::path& dir);

}  // namespace clockramp::fuzz

#endif  // CLOCKRAMP_FUZZ_READERS_READERTARGETS_H_
