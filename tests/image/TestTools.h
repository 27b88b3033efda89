// Helpers of the image tests: files, a scratch folder and running a tool.
#ifndef CLOCKRAMP_TESTS_IMAGE_TESTTOOLS_H_
#define CLOCKRAMP_TESTS_IMAGE_TESTTOOLS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The image, firmware files and tools of this build (CLOCKRAMP_TEST_*).
#include "BuildPaths.h"

namespace clockramp::testing {

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string ReadText(const std::filesystem::path& path);

struct CommandResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};
// Runs a shell command line in a folder; the arguments must be quoted by the caller.
CommandResult RunCommand(const std::string& command, const std::filesystem::path& folder = {});
std::string Quote(const std::string& argument);

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace clockramp::testing

#endif  // CLOCKRAMP_TESTS_IMAGE_TESTTOOLS_H_
