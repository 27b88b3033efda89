#include "image/OutputSet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace clockramp::files {
namespace {

std::optional<struct stat> Stat(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return st;
}

FileId IdOf(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }

// A device (/dev/null, a terminal) is not a file that can be destroyed or
// interleaved into: it takes part in no identity check.
bool IsDevice(const struct stat& st) { return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode); }

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw OutputError(path + ": " + why);
}

std::string Reason() { return std::strerror(errno); }

// Where the output's bytes will end up: a symbolic link is followed, so the
// file it names is replaced and the link kept.
std::string Target(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) {
    return resolved;
  }
  return path;
}

// The folder a new file at `path` would go in, and its identity.
std::string FolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

}  // namespace

std::optional<FileId> IdentifyFile(const std::string& path) {
  const auto st = Stat(path);
  if (!st) {
    return std::nullopt;
  }
  return IdOf(*st);
}

OutputSet::~OutputSet() { Discard(); }

void OutputSet::AddInput(const std::string& path) {
  const auto st = Stat(path);
  if (st && !IsDevice(*st)) {
    inputs_.push_back(IdOf(*st));
  }
}

void OutputSet::Check(const std::string& path) const {
  if (path.empty()) {
    Refuse("\"\"", "an empty name is not a file");
  }
  const auto st = Stat(path);
  if (st) {
    if (S_ISDIR(st->st_mode)) {
      Refuse(path, "is a folder");
    }
    if (IsDevice(*st)) {
      return;
    }
    for (const FileId& input : inputs_) {
      if (input == IdOf(*st)) {
        Refuse(path, "is also an input of this command; it would be written over");
      }
    }
  }
  // Two outputs are one file when they are the same existing file, or when
  // they would be created under the same name in the same folder.
  const std::string target = Target(path);
  const auto folder = Stat(FolderOf(target));
  if (!folder || !S_ISDIR(folder->st_mode)) {
    Refuse(path, "cannot be written: no such folder");
  }
  const std::string name = std::filesystem::path(target).filename().string();
  for (const Output& other : outputs_) {
    const bool sameFile = st && other.id && *other.id == IdOf(*st);
    const auto otherFolder = Stat(FolderOf(Target(other.path)));
    const bool sameName = otherFolder && IdOf(*otherFolder) == IdOf(*folder) &&
                          std::filesystem::path(Target(other.path)).filename().string() == name;
    if (sameFile || sameName) {
      Refuse(path, "is named twice as an output");
    }
  }
}

std::ostream& OutputSet::Open(const std::string& path) {
  Check(path);
  Output output;
  output.path = path;
  const auto st = Stat(path);
  if (st) {
    output.id = IdOf(*st);
  }
  if (st && !S_ISREG(st->st_mode)) {
    // A device or a pipe: written as it goes.
    output.stream = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*output.stream) {
      Refuse(path, "cannot be written: " + Reason());
    }
    outputs_.push_back(std::move(output));
    return *outputs_.back().stream;
  }
  const std::string target = Target(path);
  const std::filesystem::path targetPath(target);
  std::string pattern = (std::filesystem::path(FolderOf(target)) /
                         ("." + targetPath.filename().string() + ".partial-XXXXXX"))
                            .string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    Refuse(path, "cannot be written: " + Reason());
  }
  // mkstemp makes the file private; give it the mode the replaced file had,
  // or the one a new file gets under the umask.
  mode_t mode = 0;
  if (st) {
    mode = st->st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd, mode);
  ::close(fd);
  output.temporary = pattern;
  output.stream = std::make_unique<std::ofstream>(pattern, std::ios::binary | std::ios::trunc);
  if (!*output.stream) {
    const std::string why = Reason();
    std::remove(pattern.c_str());
    Refuse(path, "cannot be written: " + why);
  }
  outputs_.push_back(std::move(output));
  return *outputs_.back().stream;
}

void OutputSet::Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ostream& out = Open(path);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void OutputSet::Write(const std::string& path, const std::string& text) {
  std::ostream& out = Open(path);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void OutputSet::Commit() {
  for (Output& output : outputs_) {
    errno = 0;
    output.stream->flush();
    output.stream->close();
    if (!*output.stream) {
      const std::string why = errno != 0 ? Reason() : "write error";
      const std::string path = output.path;
      Discard();
      Refuse(path, "could not be written whole (" + why + "); nothing was written");
    }
  }
  for (size_t i = 0; i < outputs_.size(); ++i) {
    Output& output = outputs_[i];
    if (output.temporary.empty()) {
      continue;
    }
    if (std::rename(output.temporary.c_str(), Target(output.path).c_str()) != 0) {
      const std::string why = Reason();
      const std::string path = output.path;
      Discard();
      Refuse(path, "could not be put in place: " + why);
    }
    output.temporary.clear();
  }
  outputs_.clear();
}

void OutputSet::Discard() {
  for (Output& output : outputs_) {
    if (output.stream) {
      output.stream->close();
    }
    if (!output.temporary.empty()) {
      std::remove(output.temporary.c_str());
    }
  }
  outputs_.clear();
}

}  // namespace clockramp::files
