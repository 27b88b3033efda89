// The outputs of one command, written whole or not at all.
//
// Every output is written to a temporary file in its own folder and renamed
// onto its name only when the command commits, so a reader never sees half a
// file and a full disk leaves the old file (or none) in place. A command that
// fails before Commit() leaves none of its outputs behind, the earlier ones
// of the same run included: the destructor removes every temporary.
//
// Before a file is opened it is compared, by device and inode, with the
// command's inputs and with the outputs opened before it: writing over an
// input, or two outputs into one file, is refused. An output that already
// exists and is not a regular file (/dev/null, /dev/stdout, a pipe) is
// written directly, since it cannot be replaced by a rename.
#ifndef CLOCKRAMP_IMAGE_OUTPUTSET_H_
#define CLOCKRAMP_IMAGE_OUTPUTSET_H_

#include <sys/types.h>

#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace clockramp::files {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file's identity: the same file has the same pair under any name.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

// The identity of the file at `path`, following symbolic links; nullopt when
// there is none.
std::optional<FileId> IdentifyFile(const std::string& path);

class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();

  // Records an input of the command; an output may not be the same file.
  // A path that does not name a file is ignored (reading it fails anyway).
  void AddInput(const std::string& path);

  // Checks `path` as an output (OutputError when it is an input, an output
  // already opened, or a folder) without opening it. Lets a command refuse a
  // bad output before doing any work.
  void Check(const std::string& path) const;

  // Opens `path` for writing and returns the stream to write it through.
  // Throws OutputError when Check() refuses it or the temporary cannot be
  // made. The stream lives until the set is destroyed.
  std::ostream& Open(const std::string& path);

  // Writes `bytes` to `path` in one go (Open, write).
  void Write(const std::string& path, const std::vector<uint8_t>& bytes);
  void Write(const std::string& path, const std::string& text);

  // Flushes and closes every output and renames each temporary onto its
  // name. Throws OutputError when any write failed (a full disk); then no
  // temporary is renamed and all are removed.
  void Commit();

  // Removes every temporary without renaming any: what the destructor does.
  void Discard();

 private:
  struct Output {
    std::string path;       // the name the output will have
    std::string temporary;  // where it is written until Commit; empty: direct
    std::optional<FileId> id;
    std::unique_ptr<std::ofstream> stream;
  };

  std::vector<FileId> inputs_;
  std::vector<Output> outputs_;
};

}  // namespace clockramp::files

#endif  // CLOCKRAMP_IMAGE_OUTPUTSET_H_
