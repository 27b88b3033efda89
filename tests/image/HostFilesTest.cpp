// Reading outside input within bounds and writing outputs whole or not at
// all: the faults these guard against are a tool reading /dev/zero until
// memory runs out, writing over its own input, and leaving half a file (or
// the earlier outputs of a failed run) behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "image/InputFile.h"
#include "image/OutputSet.h"
#include "image/Printable.h"

namespace clockramp::files {
namespace {

namespace fs = std::filesystem;

class HostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("clockramp-hostfiles-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Put(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Get(const std::string& name) const {
    return ReadInputText(Path(name), kTextFileLimit, "test file");
  }
  // The names in the folder: a temporary left behind shows up here.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(HostFiles, InputsAreRefusedWithTheFileNamedAndNeverReadPastTheLimit) {
  Put("small", "0123456789");
  struct Case {
    std::string path;
    uint64_t limit;
    std::string message;  // empty: read whole
  };
  const Case cases[] = {
      {Path("small"), 10, ""},
      {Path("small"), 9, Path("small") + ": test file larger than the limit of 9 bytes"},
      {"/dev/zero", 1000, "/dev/zero: test file larger than the limit of 1000 bytes"},
      {dir_.string(), 1000, dir_.string() + ": is a folder, not a test file"},
      {Path("missing"), 1000, Path("missing") + ": cannot be read: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.message.empty()) {
      EXPECT_EQ(ReadInput(c.path, c.limit, "test file").size(), 10u);
      continue;
    }
    try {
      ReadInput(c.path, c.limit, "test file");
      ADD_FAILURE() << "read";
    } catch (const InputError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST_F(HostFiles, OutputsAppearOnlyAtCommitAndAFailedCommandLeavesNone) {
  Put("b", "old b");
  {
    OutputSet outputs;
    outputs.Open(Path("a")) << "new a";
    outputs.Open(Path("b")) << "new b";
    EXPECT_EQ(Get("b"), "old b");   // not replaced before the commit
    EXPECT_EQ(Names().size(), 3u);  // b and two temporaries
  }                                 // the command failed: no commit
  EXPECT_EQ(Names(), std::vector<std::string>{"b"});
  EXPECT_EQ(Get("b"), "old b");

  OutputSet outputs;
  outputs.Open(Path("a")) << "new a";
  outputs.Write(Path("b"), std::string("new b"));
  outputs.Commit();
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Get("a"), "new a");
  EXPECT_EQ(Get("b"), "new b");
}

TEST_F(HostFiles, AnOutputThatIsAnInputOrAnotherOutputIsRefusedWhateverItsName) {
  Put("in", "input");
  fs::create_hard_link(Path("in"), Path("in-link"));
  fs::create_symlink(Path("in"), Path("in-symlink"));
  fs::create_directories(dir_ / "sub");
  struct Case {
    std::string first;   // an earlier output, or empty
    std::string second;  // the output checked
    std::string message;
  };
  const Case cases[] = {
      {"", Path("in"), "is also an input"},
      {"", Path("in-link"), "is also an input"},
      {"", Path("in-symlink"), "is also an input"},
      {"", (dir_ / "sub" / ".." / "in").string(), "is also an input"},
      {Path("out"), (dir_ / "sub" / ".." / "out").string(), "is named twice as an output"},
      {"", Path("sub"), "is a folder"},
      {"", Path("nowhere/out"), "no such folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    OutputSet outputs;
    outputs.AddInput(Path("in"));
    if (!c.first.empty()) {
      outputs.Open(c.first);
    }
    try {
      outputs.Open(c.second);
      ADD_FAILURE() << "opened";
    } catch (const OutputError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Get("in"), "input");
  // A device is no file to protect: /dev/null may take two outputs.
  OutputSet outputs;
  outputs.Open("/dev/null") << "x";
  outputs.Open("/dev/null") << "y";
  outputs.Commit();
}

TEST_F(HostFiles, AWriteThatFailsMidwayLeavesTheOldFilesAndNoTemporary) {
  Put("b", "old b");
  // A file size limit stands in for a full disk: the write of the large
  // output fails the way it would on a disk with 64 KiB left.
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = rlim_t{64} * 1024;
  ::setrlimit(RLIMIT_FSIZE, &small);
  bool threw = false;
  {
    OutputSet outputs;
    outputs.Open(Path("a")) << "small a";
    outputs.Write(Path("b"), std::string(size_t{1024} * 1024, 'b'));
    try {
      outputs.Commit();
    } catch (const OutputError& e) {
      threw = true;
      EXPECT_NE(std::string(e.what()).find(Path("b") + ": could not be written whole"),
                std::string::npos)
          << e.what();
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(threw);
  EXPECT_EQ(Names(), std::vector<std::string>{"b"});
  EXPECT_EQ(Get("b"), "old b");
}

TEST(Printable, EscapesControlAndBinaryBytesAndCutsLongText) {
  EXPECT_EQ(Printable("plain text 0x6B"), "plain text 0x6B");
  EXPECT_EQ(Printable("\x1b[31mred\x1b[0m"), "\\x1B[31mred\\x1B[0m");
  EXPECT_EQ(Printable(std::string("a\0b\\\xff\n", 6)), "a\\x00b\\x5C\\xFF\\x0A");
  EXPECT_EQ(Printable("abcdef", 3), "abc...");
}

// Text shown as text keeps its characters but not what steers a terminal.
TEST(Printable, Utf8KeepsCharactersAndEscapesControls) {
  struct Case {
    std::string text;
    std::string shown;
  };
  for (const Case& c : std::vector<Case>{
           {"255 \xC2\xB5s, 1000 \xE2\x86\x92 1024 \xF0\x9F\x94\xA7",
            "255 \xC2\xB5s, 1000 \xE2\x86\x92 1024 \xF0\x9F\x94\xA7"},
           {"\x1b[2Jx\x7f", "\\x1B[2Jx\\x7F"},
           {"C1 \xC2\x9B" "31m", "C1 \\xC2\\x9B31m"},       // U+009B, a CSI
           {"rtl \xE2\x80\xAE", "rtl \\xE2\\x80\\xAE"},  // U+202E
           {"bad \xC0\xAF \xED\xA0\x80 \xE2\x82",
            "bad \\xC0\\xAF \\xED\\xA0\\x80 \\xE2\\x82"},  // overlong, surrogate, cut
           {"a\\b", "a\\x5Cb"},
       }) {
    EXPECT_EQ(PrintableUtf8(c.text), c.shown) << Printable(c.text);
  }
}

}  // namespace
}  // namespace clockramp::files
