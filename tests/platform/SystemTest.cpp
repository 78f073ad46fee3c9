#include <gtest/gtest.h>

#include "platform/System.h"
#include "tests/support/TempDir.h"

using namespace platform;
using tidewell::test::TTempDir;

TEST(FileNames, PartsOfAPath) {
  EXPECT_EQ(ExtractFileDir("/a/b/c.log"), "/a/b");
  EXPECT_EQ(ExtractFilePath("/a/b/c.log"), "/a/b/");
  EXPECT_EQ(ExtractFileName("/a/b/c.log"), "c.log");
  EXPECT_EQ(ExtractFileExt("/a/b.d/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/b/c.tar.gz"), ".gz");
  EXPECT_EQ(ChangeFileExt("/a/b/c", ".dbf"), "/a/b/c.dbf");
  EXPECT_EQ(ExpandFileName("/a/./b/../c"), "/a/c");
  EXPECT_EQ(ExpandFileName("x.log"), GetCurrentDir() + "/x.log");
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
  EXPECT_EQ(exe[0], '/');
  ASSERT_TRUE(FileVersion("").has_value());
  EXPECT_FALSE(FileVersion("/bin/sh").has_value());
}

TEST(Libraries, MissingLibraryAndMissingExportGiveNull) {
  EXPECT_EQ(LoadDynamicLibrary("libdoes-not-exist.so.9"), nullptr);
  TLibraryHandle c = LoadDynamicLibrary("libc.so.6");
  ASSERT_NE(c, nullptr);
  EXPECT_NE(GetLibrarySymbol(c, "strlen"), nullptr);
  EXPECT_EQ(GetLibrarySymbol(c, "no_such_export_here"), nullptr);
  FreeDynamicLibrary(c);
}
