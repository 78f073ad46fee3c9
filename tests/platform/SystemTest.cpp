#include <gtest/gtest.h>

#include "platform/System.h"
#include "tests/support/TempDir.h"

using namespace platform;
using tidewell::test::TTempDir;

namespace {
// A path written with '/' in the platform's separators.
std::string P(std::string path) {
  for (char& c : path)
    if (c == '/') c = PathDelim;
  return path;
}
}  // namespace

TEST(FileNames, PartsOfAPath) {
  EXPECT_EQ(ExtractFileDir(P("/a/b/c.log")), P("/a/b"));
  EXPECT_EQ(ExtractFilePath(P("/a/b/c.log")), P("/a/b/"));
  EXPECT_EQ(ExtractFileName(P("/a/b/c.log")), "c.log");
  EXPECT_EQ(ExtractFileExt(P("/a/b.d/c")), "");
  EXPECT_EQ(ExtractFileExt(P("/a/b/c.tar.gz")), ".gz");
  EXPECT_EQ(ChangeFileExt(P("/a/b/c"), ".dbf"), P("/a/b/c.dbf"));
  const std::string root = ExpandFileName(P("/"));  // "/" or the current drive's root
  EXPECT_EQ(ExpandFileName(P("/a/./b/../c")), root + P("a/c"));
  EXPECT_EQ(ExpandFileName("x.log"), GetCurrentDir() + PathDelim + "x.log");
}

TEST(Files, FoldersAreMadeWithTheirParentsAndFilesAreNotReplacedByRename) {
  TTempDir tmp;
  const std::string deep = tmp.File("a/b/c");
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep));  // already there
  EXPECT_FALSE(FileExists(deep));

  const std::string f = deep + "/f.txt";
  EXPECT_TRUE(CreateEmptyFile(f));
  EXPECT_FALSE(CreateEmptyFile(f));
  EXPECT_TRUE(FileExists(f));

  const std::string g = deep + "/g.txt";
  EXPECT_TRUE(CreateEmptyFile(g));
  EXPECT_FALSE(RenameFile(f, g));
  EXPECT_TRUE(RemoveFile(g));
  EXPECT_TRUE(RenameFile(f, g));
  EXPECT_FALSE(FileExists(f));
  EXPECT_TRUE(FileExists(g));
}

// Durability is asked of the files written and the folders that got new
// entries, each by itself; one that can't be synced (gone) fails the call.
TEST(Files, EachPathIsSyncedAndOneThatIsGoneFailsTheCall) {
  TTempDir tmp;
  const std::string f = tmp.File("a.dbf"), g = tmp.File("a.fpt");
  tidewell::test::WriteFile(f, "records");
  tidewell::test::WriteFile(g, "memos");
  EXPECT_TRUE(SyncPath(f));
  EXPECT_TRUE(SyncPath(tmp.Path()));
  EXPECT_TRUE(SyncPaths({f, g, tmp.Path(), f}));
  EXPECT_TRUE(SyncPaths({}));
  EXPECT_FALSE(SyncPath(tmp.File("gone.dbf")));
  EXPECT_FALSE(SyncPaths({tmp.File("gone.dbf"), f, tmp.Path()}));
  EXPECT_FALSE(SyncPaths({f, tmp.File("gone/")}));
}

TEST(Files, SharedFileAppendsAtTheEnd) {
  TTempDir tmp;
  const std::string f = tmp.File("s.txt");
  tidewell::test::WriteFile(f, "abc");
  TSharedFile a, b;
  ASSERT_TRUE(a.Open(f));
  ASSERT_TRUE(b.Open(f));  // a second writer may hold it at the same time
  ASSERT_TRUE(a.SeekToEnd());
  ASSERT_TRUE(a.Write("de", 2));
  ASSERT_TRUE(b.SeekToEnd());
  ASSERT_TRUE(b.Write("f", 1));
  a.Close();
  b.Close();
  EXPECT_EQ(tidewell::test::ReadFile(f), "abcdef");
  EXPECT_FALSE(TSharedFile().Open(tmp.File("missing")));
}

TEST(Executable, PathAndVersionOfTheRunningProgram) {
  const std::string exe = ExecutablePath();
  EXPECT_TRUE(FileExists(exe));
  EXPECT_EQ(ExpandFileName(exe), exe);  // a full path
  ASSERT_TRUE(FileVersion("").has_value());
  TTempDir tmp;
  tidewell::test::WriteFile(tmp.File("plain.exe"), "not a program");
  EXPECT_FALSE(FileVersion(tmp.File("plain.exe")).has_value());
}

TEST(Libraries, MissingLibraryAndMissingExportGiveNull) {
  EXPECT_EQ(LoadDynamicLibrary("libdoes-not-exist.so.9"), nullptr);
  TLibraryHandle c = LoadDynamicLibrary(SYSTEM_LIBRARY);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(GetLibrarySymbol(c, SYSTEM_EXPORT), nullptr);
  EXPECT_EQ(GetLibrarySymbol(c, "no_such_export_here"), nullptr);
  FreeDynamicLibrary(c);
}
