// Reading a file that comes from outside (a firmware image from a vendor, a
// variable copied off a board, a dump or capture taken by hand): the whole of
// it, but never more than the caller's limit. A directory, an unreadable file
// or one past the limit is an InputError whose text names the file and says
// what is wrong in one line; an endless file (a pipe, /dev/zero) stops being
// read one byte past the limit.
#ifndef CLOCKRAMP_IMAGE_INPUTFILE_H_
#define CLOCKRAMP_IMAGE_INPUTFILE_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace clockramp::files {

class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  InputError(const std::string& path, const std::string& problem)
      : std::runtime_error(path + ": " + problem), problem_(problem) {}
  // What is wrong, without the file's name ("is a folder, not a scenario"),
  // for a caller that names the file its own way.
  [[nodiscard]] std::string Problem() const { return problem_.empty() ? what() : problem_; }

 private:
  std::string problem_;
};

// Size limits of the inputs the tools read, in bytes.
inline constexpr uint64_t kMiB = uint64_t{1024} * 1024;
inline constexpr uint64_t kFirmwareFileLimit = 256 * kMiB;  // a whole flash image
inline constexpr uint64_t kModuleFileLimit = 16 * kMiB;     // a PE32 or TE image
inline constexpr uint64_t kTextFileLimit = 16 * kMiB;       // scenarios, dumps, captures
inline constexpr uint64_t kVariableFileLimit = 1 * kMiB;    // an efivarfs file

// Reads the file at `path`, at most `limit` bytes. `what` names the kind of
// input in the refusal ("firmware image", "scenario"). Throws InputError.
std::vector<uint8_t> ReadInput(const std::string& path, uint64_t limit, std::string_view what);

// The same, as text (the bytes as they are; nothing is decoded).
std::string ReadInputText(const std::string& path, uint64_t limit, std::string_view what);

}  // namespace clockramp::files

#endif  // CLOCKRAMP_IMAGE_INPUTFILE_H_
