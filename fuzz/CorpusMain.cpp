// clockramp-fuzz-corpus: the fuzz target's seeds and a replay without libFuzzer.
//
//   clockramp-fuzz-corpus seeds DIR [SCENARIO.json ...]
//       writes the built-in seed boards and the given scenario files (when
//       this build can read scenarios) as fuzz inputs into DIR
//   clockramp-fuzz-corpus replay PATH ...
//       runs every seed board, then every input file (or every file of a
//       folder) through the same checks as the fuzz target; also checks that
//       each seed board survives encoding. Exits 1 on any problem.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "tests/robustness/Oracle.h"

#ifdef CLOCKRAMP_FUZZ_SCENARIOS
#include "tools/Scenario.h"
#endif

namespace {

namespace fs = std::filesystem;
using clockramp::fuzz::Encode;

std::vector<std::pair<std::string, board::BoardConfig>> Boards(const std::vector<std::string>& files) {
  auto boards = clockramp::fuzz::SeedConfigs();
  for (const std::string& file : files) {
#ifdef CLOCKRAMP_FUZZ_SCENARIOS
    try {
      boards.emplace_back(fs::path(file).stem().string(),
                          clockramp::tool::LoadScenario(file).config);
    } catch (const clockramp::tool::ScenarioError& e) {
      // A scenario made to be refused is no board to start from.
      std::fprintf(stderr, "skipping %s\n", e.what());
    }
#else
    std::fprintf(stderr, "skipping %s: this build reads no scenario files\n", file.c_str());
#endif
  }
  return boards;
}

std::string FileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    out += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
  }
  return out;
}

bool Report(const std::string& what, const std::vector<std::string>& problems) {
  if (problems.empty()) {
    return true;
  }
  std::fprintf(stderr, "%s:\n", what.c_str());
  for (const std::string& p : problems) {
    std::fprintf(stderr, "  %s\n", p.c_str());
  }
  return false;
}

int Seeds(const fs::path& dir, const std::vector<std::string>& scenarios) {
  fs::create_directories(dir);
  size_t n = 0;
  for (const auto& [name, config] : Boards(scenarios)) {
    const std::vector<uint8_t> bytes = Encode(config);
    std::ofstream(dir / ("seed-" + FileName(name)), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ++n;
  }
  std::printf("%zu seeds written to %s\n", n, dir.c_str());
  return 0;
}

int Replay(const std::vector<std::string>& paths) {
  size_t runs = 0;
  size_t bad = 0;
  std::vector<std::string> scenarios;
  std::vector<fs::path> inputs;
  for (const std::string& p : paths) {
    if (fs::is_directory(p)) {
      for (const auto& entry : fs::directory_iterator(p)) {
        if (entry.path().extension() == ".json") {
          scenarios.push_back(entry.path().string());
        } else if (entry.is_regular_file()) {
          inputs.push_back(entry.path());
        }
      }
    } else if (fs::path(p).extension() == ".json") {
      scenarios.push_back(p);
    } else {
      inputs.emplace_back(p);
    }
  }
  for (const auto& [name, config] : Boards(scenarios)) {
    // The board the seed decodes to must be the board it was made from,
    // within the fuzz target's limits.
    const board::BoardConfig expected = clockramp::fuzz::Limit(config);
    const std::vector<uint8_t> bytes = Encode(config);
    const board::BoardConfig decoded = clockramp::fuzz::Decode(bytes);
    std::vector<std::string> problems;
    if (robustness::Describe(decoded) != robustness::Describe(expected) ||
        decoded.clockGenerator != expected.clockGenerator || decoded.setup != expected.setup ||
        decoded.pchRcConfiguration != expected.pchRcConfiguration) {
      problems.push_back("decodes to " + robustness::Describe(decoded) + ", made from " +
                         robustness::Describe(expected));
    }
    std::string description;
    for (const std::string& p : clockramp::fuzz::Check(bytes, &description)) {
      problems.push_back(p);
    }
    std::string what = "seed ";
    what += name;
    what += " (" + description + ")";
    bad += Report(what, problems) ? 0 : 1;
    ++runs;
  }
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::string description;
    const auto problems = clockramp::fuzz::Check(bytes, &description);
    bad += Report(input.string() + " (" + description + ")", problems) ? 0 : 1;
    ++runs;
  }
  std::printf("%zu passed, %zu failed\n", runs - bad, bad);
  return bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "seeds") {
    return Seeds(args[1], {args.begin() + 2, args.end()});
  }
  if (!args.empty() && args[0] == "replay") {
    return Replay({args.begin() + 1, args.end()});
  }
  std::fprintf(stderr, "usage: clockramp-fuzz-corpus seeds DIR [SCENARIO.json ...]\n"
                       "       clockramp-fuzz-corpus replay PATH ...\n");
  return 2;
}
