// The lock file that names its holder and the file several writers append
// to: two handles exclude each other as two processes do.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/SharedFiles.h"
#include "tests/support/TempDir.h"

using platform::TAppendFile;
using platform::TLockFile;
using tidewell::test::ReadFile;
using tidewell::test::TTempDir;

TEST(LockFile, OneHolderAtATimeAndTheOthersLearnWhoItIs) {
  TTempDir tmp;
  const std::string path = tmp.File("table.lock");
  TLockFile first, second;
  ASSERT_EQ(first.TryLock(path, "host a, pid 1"), TLockFile::lsTaken);
  EXPECT_TRUE(first.Locked());
  // The holder's text stays readable by everyone while it holds the lock.
  EXPECT_EQ(ReadFile(path).substr(0, 13), "host a, pid 1");
  EXPECT_EQ(second.TryLock(path, "host b, pid 2"), TLockFile::lsHeld);
  EXPECT_EQ(second.Holder, "host a, pid 1");
  EXPECT_FALSE(second.Locked());
  // Taking it again while held changes nothing of the holder's.
  EXPECT_EQ(second.TryLock(path, "host b, pid 2"), TLockFile::lsHeld);
  EXPECT_EQ(ReadFile(path).substr(0, 13), "host a, pid 1");

  first.Unlock();
  ASSERT_EQ(second.TryLock(path, "host b, pid 2"), TLockFile::lsTaken);
  // Only the new holder's text: nothing of a longer earlier one is left.
  EXPECT_EQ(ReadFile(path).substr(0, 13), "host b, pid 2");
  EXPECT_LE(ReadFile(path).size(), 15u);
  EXPECT_EQ(first.TryLock(path, "host a, pid 1"), TLockFile::lsHeld);
  EXPECT_EQ(first.Holder, "host b, pid 2");
}

TEST(LockFile, AFolderThatIsNotThereFailsWithTheReasonAndAGoneHolderFreesTheLock) {
  TTempDir tmp;
  TLockFile lock;
  EXPECT_EQ(lock.TryLock(tmp.File("missing/table.lock"), "me"), TLockFile::lsFailed);
  EXPECT_FALSE(lock.Error.empty());
  EXPECT_FALSE(lock.Locked());
  {
    TLockFile gone;
    ASSERT_EQ(gone.TryLock(tmp.File("table.lock"), "gone"), TLockFile::lsTaken);
  }
  EXPECT_EQ(lock.TryLock(tmp.File("table.lock"), "me"), TLockFile::lsTaken);
  EXPECT_TRUE(std::filesystem::exists(tmp.File("table.lock")));
}

TEST(AppendFile, WritersTakeTurnsAndEachWriteGoesToTheEnd) {
  TTempDir tmp;
  const std::string path = tmp.File("shared.log");
  {
    TAppendFile first;
    ASSERT_TRUE(first.Open(path));
    EXPECT_TRUE(first.Created());
    EXPECT_EQ(first.Size(), 0u);
    EXPECT_TRUE(first.Append("one\r\n"));
    // A second writer waits while the first holds the file.
    std::thread release([&first] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      first.Close();
    });
    TAppendFile second;
    const auto from = std::chrono::steady_clock::now();
    ASSERT_TRUE(second.Open(path));
    EXPECT_GE(std::chrono::steady_clock::now() - from, std::chrono::milliseconds(100));
    release.join();
    EXPECT_FALSE(second.Created());
    EXPECT_EQ(second.Size(), 5u);
    EXPECT_TRUE(second.Append("two\r\n"));
  }
  EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n");

  // The age of the last change, and a file cut to nothing.
  std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 7));
  TAppendFile old;
  ASSERT_TRUE(old.Open(path));
  EXPECT_NEAR(old.SecondsSinceChange(), 7 * 86400.0, 60.0);
  EXPECT_TRUE(old.Empty());
  EXPECT_TRUE(old.Append("fresh\r\n"));
  old.Close();
  EXPECT_EQ(ReadFile(path), "fresh\r\n");
  ASSERT_TRUE(old.Open(path));
  EXPECT_LT(old.SecondsSinceChange(), 60.0);
}
