// clockramp-fuzz-readers: the reader targets without libFuzzer.
//
//   clockramp-fuzz-readers list
//       each target's name and the longest input it is fuzzed with
//   clockramp-fuzz-readers seeds DIR
//       writes each target's seed corpus into DIR/<target>/
//   clockramp-fuzz-readers replay TARGET PATH ...
//       runs every file given (or every file of a folder given) through the
//       target; a finding ends the process, after the file's name
//   clockramp-fuzz-readers replay-all DIR ...
//       replays DIR/<target>/ through each target that has one
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/readers/ReaderTargets.h"

namespace {

namespace fs = std::filesystem;
using clockramp::fuzz::ReaderTarget;
using clockramp::fuzz::ReaderTargets;

const ReaderTarget* Find(const std::string& name) {
  for (const ReaderTarget& t : ReaderTargets()) {
    if (t.name == name) {
      return &t;
    }
  }
  return nullptr;
}

// The files of the paths, folders opened one level, in name order.
std::vector<fs::path> Files(const std::vector<std::string>& paths) {
  std::vector<fs::path> files;
  for (const std::string& p : paths) {
    if (!fs::is_directory(p)) {
      files.emplace_back(p);
      continue;
    }
    for (const auto& entry : fs::directory_iterator(p)) {
      if (entry.is_regular_file()) {
        files.push_back(entry.path());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

size_t Replay(const ReaderTarget& target, const std::vector<std::string>& paths) {
  size_t n = 0;
  for (const fs::path& file : Files(paths)) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      std::exit(2);
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    // Named before it runs: a finding ends the process.
    std::fprintf(stderr, "%s %s\n", std::string(target.name).c_str(), file.c_str());
    target.run(bytes);
    ++n;
  }
  return n;
}

int Usage() {
  std::fprintf(stderr,
               "usage: clockramp-fuzz-readers list\n"
               "       clockramp-fuzz-readers seeds DIR\n"
               "       clockramp-fuzz-readers replay TARGET PATH ...\n"
               "       clockramp-fuzz-readers replay-all DIR ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "list") {
    for (const ReaderTarget& t : ReaderTargets()) {
      std::printf("%s %zu\n", std::string(t.name).c_str(), t.maxLen);
    }
    return 0;
  }
  if (args.size() == 2 && args[0] == "seeds") {
    clockramp::fuzz::WriteSeeds(args[1]);
    return 0;
  }
  if (args.size() >= 3 && args[0] == "replay") {
    const ReaderTarget* target = Find(args[1]);
    if (target == nullptr) {
      std::fprintf(stderr, "no target %s (see: clockramp-fuzz-readers list)\n", args[1].c_str());
      return 2;
    }
    std::printf("%s: %zu inputs, no finding\n", args[1].c_str(),
                Replay(*target, {args.begin() + 2, args.end()}));
    return 0;
  }
  if (args.size() >= 2 && args[0] == "replay-all") {
    for (const ReaderTarget& t : ReaderTargets()) {
      std::vector<std::string> dirs;
      for (size_t i = 1; i < args.size(); ++i) {
        const fs::path dir = fs::path(args[i]) / t.name;
        if (fs::is_directory(dir)) {
          dirs.push_back(dir.string());
        }
      }
      const size_t n = dirs.empty() ? 0 : Replay(t, dirs);
      std::printf("%s: %zu inputs, no finding\n", std::string(t.name).c_str(), n);
    }
    return 0;
  }
  return Usage();
}
