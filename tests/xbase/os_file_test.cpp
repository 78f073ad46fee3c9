// The file layer's contract as the table and memo code rely on it: locks
// belong to the open file, so two handles in one process exclude each other
// as two programs would, and the holder keeps reading and writing what it
// locked.
#include "xbase/os_file.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace xbase;

namespace {

std::unique_ptr<OsFile> OpenRw(const std::string& path) {
  std::string error;
  auto f = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  EXPECT_TRUE(f) << error;
  return f;
}

}  // namespace

TEST(FileLocks, AnExclusiveLockKeepsOtherHandlesOutUntilItIsReleased) {
  ScratchDir dir;
  WriteBytes(dir / "t.dbf", std::vector<uint8_t>(64, 0x20));
  auto a = OpenRw(dir / "t.dbf");
  auto b = OpenRw(dir / "t.dbf");
  ASSERT_TRUE(a && b);

  ASSERT_TRUE(a->Lock(0, 32, true, 0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(b->Lock(0, 32, true, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55)) << "gave up without waiting";
  EXPECT_FALSE(b->Lock(16, 4, false, 0)) << "a shared lock inside an exclusive one";
  EXPECT_TRUE(b->Lock(32, 32, true, 0)) << "the range after the locked one is free";
  b->Unlock(32, 32);

  // The holder reads and writes what it locked.
  const uint8_t mark = 0x83;
  EXPECT_TRUE(a->WriteAt(0, &mark, 1));
  uint8_t back = 0;
  EXPECT_TRUE(a->ReadAt(0, &back, 1));
  EXPECT_EQ(back, mark);

  a->Unlock(0, 32);
  EXPECT_TRUE(b->Lock(0, 32, true, 0));
  b->Unlock(0, 32);
}

TEST(FileLocks, SharedLocksAdmitEachOtherButNotAWriter) {
  ScratchDir dir;
  WriteBytes(dir / "t.dbf", std::vector<uint8_t>(64, 0x20));
  auto a = OpenRw(dir / "t.dbf");
  auto b = OpenRw(dir / "t.dbf");
  auto c = OpenRw(dir / "t.dbf");
  ASSERT_TRUE(a && b && c);
  ASSERT_TRUE(a->Lock(0, 32, false, 0));
  ASSERT_TRUE(b->Lock(0, 32, false, 0));
  EXPECT_FALSE(c->Lock(0, 32, true, 0));
  a->Unlock(0, 32);
  b->Unlock(0, 32);
  EXPECT_TRUE(c->Lock(0, 32, true, 0));
  c->Unlock(0, 32);
}

TEST(FileSizes, TruncateCutsAndExtendsWithZeros) {
  ScratchDir dir;
  std::string error;
  auto f = OsFile::Create(dir / "t.dbf", true, &error);
  ASSERT_TRUE(f) << error;
  EXPECT_FALSE(OsFile::Create(dir / "t.dbf", true, &error)) << "an exclusive create over an existing file";
  ASSERT_TRUE(f->WriteAt(0, "abcdef", 6));
  ASSERT_TRUE(f->Truncate(3));
  EXPECT_EQ(f->Size(), 3u);
  ASSERT_TRUE(f->Truncate(5));
  char buf[5] = {};
  ASSERT_TRUE(f->ReadAt(0, buf, 5));
  EXPECT_EQ(std::string(buf, 5), std::string("abc\0\0", 5));
  EXPECT_FALSE(f->ReadAt(4, buf, 2)) << "a read past the end is short, so it fails";
}
