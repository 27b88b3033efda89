#include "image/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace clockramp::files {
namespace {

// Closes the descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw InputError(path, why);
}

std::string TooLarge(std::string_view what, uint64_t limit) {
  return std::string(what) + " larger than the limit of " + std::to_string(limit) + " bytes";
}

}  // namespace

std::vector<uint8_t> ReadInput(const std::string& path, uint64_t limit, std::string_view what) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) {
    Refuse(path, "is a folder, not a " + std::string(what));
  }
  // A regular file says its size; anything else (a pipe, a device, a /proc
  // file) is read until it ends or passes the limit.
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) {
    Refuse(path, TooLarge(what, limit));
  }
  std::vector<uint8_t> bytes;
  if (S_ISREG(st.st_mode)) {
    bytes.reserve(static_cast<size_t>(st.st_size));
  }
  uint8_t chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
    }
    if (got == 0) {
      break;
    }
    if (bytes.size() + static_cast<size_t>(got) > limit) {
      Refuse(path, TooLarge(what, limit));
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

std::string ReadInputText(const std::string& path, uint64_t limit, std::string_view what) {
  const std::vector<uint8_t> bytes = ReadInput(path, limit, what);
  return {bytes.begin(), bytes.end()};
}

}  // namespace clockramp::files
