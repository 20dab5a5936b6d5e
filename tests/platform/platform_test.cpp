// The platform layer: the same-file check, whole-file reads, file kinds and the
// fault seam that failure-path tests rely on.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/media.h"

using namespace mpg::platform;
using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

TEST(IsSameFile, SeesThroughLinksAndSpellings) {
  const std::string a = Out("a.bin"), b = Out("b.bin");
  WriteBytes(a, "same");
  WriteBytes(b, "same");
  fs::create_symlink(a, Out("sym.bin"));
  fs::create_hard_link(a, Out("hard.bin"));
  EXPECT_TRUE(IsSameFile(a.c_str(), a.c_str()));
  EXPECT_TRUE(IsSameFile(a.c_str(), Out("sym.bin").c_str()));
  EXPECT_TRUE(IsSameFile(a.c_str(), Out("hard.bin").c_str()));
  EXPECT_TRUE(IsSameFile(a.c_str(), (OutputDir() + "/./a.bin").c_str()));
  EXPECT_FALSE(IsSameFile(a.c_str(), b.c_str())) << "equal content is not the same file";
  EXPECT_FALSE(IsSameFile(a.c_str(), Out("missing.bin").c_str()));
  EXPECT_FALSE(IsSameFile(nullptr, a.c_str()));
  EXPECT_FALSE(IsSameFile("", ""));
}

TEST(ReadWholeFile, ReadsUpToTheLimitAndRefusesOneByteMore) {
  const std::string p = Out("ten.bin");
  WriteBytes(p, std::string("0123456789"));
  std::string out;
  EXPECT_EQ(ReadWholeFile(p.c_str(), 10, out), ReadResult::Ok);
  EXPECT_EQ(out, "0123456789");
  EXPECT_EQ(ReadWholeFile(p.c_str(), 9, out), ReadResult::TooLarge);
  EXPECT_EQ(ReadWholeFile(OutputDir().c_str(), 100, out), ReadResult::CannotOpen);
  EXPECT_EQ(ReadWholeFile(Out("missing").c_str(), 100, out), ReadResult::CannotOpen);
  WriteBytes(p, "");
  EXPECT_EQ(ReadWholeFile(p.c_str(), 100, out), ReadResult::Ok);
  EXPECT_TRUE(out.empty());
}

TEST(FileKind, TellsFilesFromFoldersAndMissingPaths) {
  const std::string p = Out("f.bin");
  WriteBytes(p, "x");
  EXPECT_EQ(GetFileKind(p.c_str()), FileKind::Regular);
  EXPECT_EQ(GetFileKind(OutputDir().c_str()), FileKind::Directory);
  EXPECT_EQ(GetFileKind(Out("nothing").c_str()), FileKind::Missing);
  EXPECT_EQ(GetFileKind(""), FileKind::Missing);
  EXPECT_EQ(GetFileKind(nullptr), FileKind::Missing);
}

TEST(DeleteFile, RemovesFilesButNeverFolders) {
  const std::string p = Out("gone.bin");
  WriteBytes(p, "x");
  EXPECT_TRUE(DeleteFile(p.c_str()));
  EXPECT_FALSE(FileExists(p));
  EXPECT_FALSE(DeleteFile(OutputDir().c_str()));
  EXPECT_TRUE(FileExists(OutputDir()));
}

TEST(CompareNoCase, IgnoresAsciiCaseOnly) {
  EXPECT_EQ(CompareNoCase("TS", "ts"), 0);
  EXPECT_EQ(CompareNoCase("m2TS", "M2ts"), 0);
  EXPECT_NE(CompareNoCase("ts", "tsx"), 0);
  EXPECT_LT(CompareNoCase("a", "B"), 0);
  EXPECT_NE(CompareNoCase("\xC3\xA9", "\xC3\x89"), 0);
}

TEST(FaultSeam, FailsTheChosenOperationOnly) {
  const std::string p = Out("fault.bin");
  const std::string moved = Out("fault-moved.bin");
  WriteBytes(p, "old!");
  FailNthFileOperation(2);  // the rename goes through, the delete fails
  EXPECT_TRUE(RenameFile(p.c_str(), moved.c_str()));
  EXPECT_FALSE(DeleteFile(moved.c_str()));
  EXPECT_EQ(ReadBytes(moved), "old!");
  EXPECT_TRUE(DeleteFile(moved.c_str()));
  EXPECT_FALSE(FileExists(moved));
  FailNthFileOperation(0);
}

TEST(Library, MissingModuleIsEmptyAndKnownOneGivesSymbols) {
  EXPECT_FALSE(Library::Open("no_such_library_anywhere.so"));
  Library libc = Library::Open("libc.so.6");
  ASSERT_TRUE(libc);
  EXPECT_NE(libc.Symbol("strlen"), nullptr);
  EXPECT_EQ(libc.Symbol("no_such_symbol_here"), nullptr);
}

}  // namespace
