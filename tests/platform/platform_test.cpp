// The platform layer: the same-file check, whole-file reads, overwrites, deletes and side libraries.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/media.h"

using namespace mpg::platform;
using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

TEST(PlatformFiles, SameFileReadsAndDeletes) {
  const std::string a = Out("a.bin"), b = Out("b.bin");
  WriteBytes(a, "0123456789");
  WriteBytes(b, "0123456789");
  fs::create_symlink(a, Out("sym.bin"));
  fs::create_hard_link(a, Out("hard.bin"));
  for (const std::string &same : {a, Out("sym.bin"), Out("hard.bin"), OutputDir() + "/./a.bin"})
    EXPECT_TRUE(IsSameFile(a.c_str(), same.c_str())) << same;
  EXPECT_FALSE(IsSameFile(a.c_str(), b.c_str())) << "equal content is not the same file";
  EXPECT_FALSE(IsSameFile(a.c_str(), Out("missing.bin").c_str()));
  EXPECT_FALSE(IsSameFile(nullptr, a.c_str()));
  EXPECT_FALSE(IsSameFile("", ""));

  std::string out;
  errno = EINTR;  // left by an earlier interrupted call: no read loop may take it for its own
  alarm(20);      // a spinning loop ends the test here rather than at the suite's time limit
  EXPECT_EQ(ReadWholeFile(a.c_str(), 10, out), ReadResult::Ok);
  alarm(0);
  EXPECT_EQ(out, "0123456789");
  EXPECT_EQ(ReadWholeFile(a.c_str(), 9, out), ReadResult::TooLarge);
  EXPECT_EQ(ReadWholeFile(OutputDir().c_str(), 100, out), ReadResult::CannotOpen);
  EXPECT_EQ(ReadWholeFile(Out("missing").c_str(), 100, out), ReadResult::CannotOpen);

  // An overwrite lands in the file itself, which its other name sees, and only when
  // the file is as long as the caller says and the bytes stay inside it.
  EXPECT_TRUE(OverwriteFileAt(a.c_str(), 10, 2, "ab"));
  EXPECT_EQ(ReadBytes(Out("hard.bin")), "01ab456789");
  EXPECT_FALSE(OverwriteFileAt(a.c_str(), 11, 2, "cd"));
  EXPECT_FALSE(OverwriteFileAt(a.c_str(), 10, 9, "cd"));
  EXPECT_FALSE(OverwriteFileAt(OutputDir().c_str(), 10, 0, "cd"));
  EXPECT_FALSE(OverwriteFileAt(Out("missing.bin").c_str(), 10, 0, "cd"));
  EXPECT_EQ(ReadBytes(a), "01ab456789");
  EXPECT_FALSE(FileExists(Out("missing.bin")));

  EXPECT_TRUE(DeleteFile(b.c_str()));
  EXPECT_FALSE(FileExists(b));
  EXPECT_FALSE(DeleteFile(OutputDir().c_str()));
  EXPECT_TRUE(FileExists(OutputDir()));
}

TEST(PlatformLibrary, MissingModuleIsEmptyAndKnownOneGivesSymbols) {
  EXPECT_FALSE(Library::Open("no_such_library_anywhere.so"));
  Library libc = Library::Open("libc.so.6");
  ASSERT_TRUE(libc);
  EXPECT_NE(libc.Symbol("strlen"), nullptr);
  EXPECT_EQ(libc.Symbol("no_such_symbol_here"), nullptr);
}

}  // namespace
