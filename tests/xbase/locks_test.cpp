// SharedFile, the one place the engine locks and writes shared files: the
// lock of each file role is the conventions' byte, and a write is refused
// unless the lock it is made under allows exactly those bytes.
#include "xbase/locks.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

using namespace xbase;

namespace {

constexpr uint32_t kHeaderLength = 64, kRecordLength = 10;

std::unique_ptr<OsFile> OpenRw(const std::string& path) {
  std::string error;
  auto f = OsFile::Open(path, OsFile::Access::kReadWrite, &error);
  EXPECT_TRUE(f) << error;
  return f;
}

SharedFile Table(const std::string& path, LockScheme scheme = LockScheme::High()) {
  return SharedFile(OpenRw(path), FileRole::kTable, scheme, {0, {}});
}

// Whether another handle (another program) can take the byte right now.
bool Free(const std::string& path, LockRange byte) {
  auto other = OpenRw(path);
  if (!other->Lock(byte.offset, byte.length, true, 0)) return false;
  other->Unlock(byte.offset, byte.length);
  return true;
}

class SharedFileWrites : public ::testing::Test {
 protected:
  void SetUp() override { WriteBytes(path_, std::vector<uint8_t>(kHeaderLength + 3 * kRecordLength, ' ')); }
  std::vector<uint8_t> Bytes() const { return ReadBytes(path_); }

  ScratchDir dir_;
  const std::string path_ = dir_ / "t.dbf";
};

TEST_F(SharedFileWrites, ARecordLockAllowsThatRecordAndNothingElse) {
  SharedFile file = Table(path_);
  auto record2 = file.LockRecord(2, kHeaderLength, kRecordLength);
  ASSERT_TRUE(record2);
  const uint64_t at = kHeaderLength + kRecordLength;
  const std::string whole(kRecordLength, 'B');
  EXPECT_TRUE(file.WriteAt(*record2, at, whole.data(), whole.size()));
  const auto before = Bytes();
  EXPECT_FALSE(file.WriteAt(*record2, at - 1, "x", 1)) << "the byte before the record";
  EXPECT_FALSE(file.WriteAt(*record2, at + kRecordLength, "x", 1)) << "the next record";
  EXPECT_FALSE(file.WriteAt(*record2, at + 1, whole.data(), whole.size())) << "running into the next record";
  EXPECT_FALSE(file.WriteAt(*record2, 4, "xxxx", 4)) << "the record count";
  EXPECT_FALSE(file.Truncate(*record2, at)) << "cutting the file";
  EXPECT_EQ(Bytes(), before) << "a refused write changed the file";
}

TEST_F(SharedFileWrites, NoWriteWithoutAnExclusiveLockOfThisFile) {
  SharedFile file = Table(path_);
  SharedFile other = Table(path_, LockScheme::Low());
  const auto before = Bytes();
  {
    auto reading = file.LockFile(false);
    ASSERT_TRUE(reading);
    EXPECT_FALSE(file.WriteAt(*reading, 0, "x", 1)) << "under a shared lock";
  }
  auto others = other.LockFile(true);
  ASSERT_TRUE(others);
  EXPECT_FALSE(file.WriteAt(*others, 0, "x", 1)) << "under another file's lock";
  EXPECT_FALSE(file.WriteAt(HeldLock::None(), 0, "x", 1)) << "under no lock";
  auto head = file.LockFile(true);
  ASSERT_TRUE(head);
  head->Release();
  EXPECT_FALSE(file.WriteAt(*head, 0, "x", 1)) << "under a lock let go";
  EXPECT_EQ(Bytes(), before);

  auto again = file.LockFile(true);
  ASSERT_TRUE(again);
  EXPECT_TRUE(file.WriteAt(*again, 4, "\x03\0\0\0", 4)) << "the header lock allows the header";
  EXPECT_TRUE(file.WriteAt(*again, kHeaderLength + 3 * kRecordLength, "\x1A", 1)) << "and past the end";
  EXPECT_TRUE(file.Truncate(*again, kHeaderLength + 3 * kRecordLength + 1));
}

TEST_F(SharedFileWrites, EachRoleTakesItsConventionalByteAndLetsGoWithTheLock) {
  struct Case {
    FileRole role;
    LockScheme scheme;
    LockRange byte;
  } cases[] = {
      {FileRole::kTable, LockScheme::High(), LockScheme::High().Header()},
      {FileRole::kTable, LockScheme::Low(), LockScheme::Low().Header()},
      {FileRole::kMemo, LockScheme::Low(), LockScheme::Low().Companion()},
      {FileRole::kCdx, LockScheme::Low(), IndexLock(IndexLockKind::kCdx)},
      {FileRole::kMdx, LockScheme::High(), IndexLock(IndexLockKind::kMdx)},
  };
  for (const auto& c : cases) {
    SharedFile file(OpenRw(path_), c.role, c.scheme, {0, {}});
    {
      auto held = file.LockFile(true);
      ASSERT_TRUE(held);
      EXPECT_FALSE(Free(path_, c.byte)) << "role " << static_cast<int>(c.role) << " at " << c.byte.offset;
    }
    EXPECT_TRUE(Free(path_, c.byte)) << "still held after the HeldLock went";
  }
  SharedFile file = Table(path_, LockScheme::Low());
  auto record = file.LockRecord(3, kHeaderLength, kRecordLength);
  ASSERT_TRUE(record);
  EXPECT_FALSE(Free(path_, LockScheme::Low().Record(3, kHeaderLength, kRecordLength)));
}

#ifndef _WIN32  // Windows refuses a second lock of the same bytes through one handle
// Locks on one byte do not stack: taking the header lock again and keeping
// the new HeldLock in place of the old one must not let go of it.
TEST_F(SharedFileWrites, ALockTakenAgainOverItselfIsStillHeld) {
  SharedFile file = Table(path_);
  std::optional<HeldLock> head = file.LockFile(true);
  ASSERT_TRUE(head);
  head = file.LockFile(true);
  ASSERT_TRUE(head);
  EXPECT_FALSE(Free(path_, LockScheme::High().Header()));
  EXPECT_TRUE(file.WriteAt(*head, 0, "\x30", 1));
  head.reset();
  EXPECT_TRUE(Free(path_, LockScheme::High().Header()));
}
#endif

TEST_F(SharedFileWrites, ALockAnotherProgramHoldsIsWaitedForThenRefused) {
  auto other = OpenRw(path_);
  const LockRange head = LockScheme::High().Header();
  ASSERT_TRUE(other->Lock(head.offset, head.length, true, 0));
  SharedFile file(OpenRw(path_), FileRole::kTable, LockScheme::High(), {30, {}});
  EXPECT_FALSE(file.LockFile(true));
  EXPECT_FALSE(file.LockFile(false)) << "a reader waits for a writer too";
  EXPECT_TRUE(file.LockRecord(1, kHeaderLength, kRecordLength)) << "a record's lock is another byte";
  other->Unlock(head.offset, head.length);
  EXPECT_TRUE(file.LockFile(true));
}

}  // namespace
