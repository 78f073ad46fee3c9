// Files that several processes use at once: a lock file that names its
// holder, and a file that several processes append lines to. Both lock with
// the system's byte-range locks (open-file-description locks where the
// system has them, else POSIX record locks; LockFileEx on Windows), which a
// file server passes on to every client of the share. A lock goes with the
// handle: when the process ends, however it ends, the lock is free again.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// This machine's network name ("" when it can't be read), and the process's id.
std::string HostName();
std::uint32_t ProcessId();

// One holder at a time, on any machine that reaches the file. The lock
// covers one byte far beyond the file's end, so the text the holder writes
// at its start stays readable to everyone (locks on Windows keep other
// processes from reading a locked range). The file itself is never removed:
// a process that opened it before a removal would lock a file nobody else
// sees.
//
//   TLockFile lock;
//   switch (lock.TryLock(path, "host h, pid 12, since 04:50")) {
//     case TLockFile::lsTaken:  /* work; the destructor releases it */
//     case TLockFile::lsHeld:   /* lock.Holder names who has it */
//     case TLockFile::lsFailed: /* lock.Error says why (no folder, ...) */
//   }
class TLockFile {
 public:
  enum TState { lsTaken, lsHeld, lsFailed };
  TLockFile() = default;
  ~TLockFile();
  TLockFile(const TLockFile&) = delete;
  TLockFile& operator=(const TLockFile&) = delete;

  // Opens (creating when missing) and locks the file without waiting. Taken:
  // the file now holds `holder` (and nothing else). Held: Holder is the text
  // the holder wrote (empty when it has not written it yet). Failed: the
  // file can't be made, opened or locked; Error holds the system's text.
  TState TryLock(const std::string& path, const std::string& holder);
  // Releases the lock (the holder's text stays in the file).
  void Unlock();
  bool Locked() const { return FHandle != Invalid; }

  std::string Holder;
  std::string Error;

  // Where the lock byte lies: beyond any file a lock file grows to, and
  // below 2^31, which every file server's locks can address.
  static constexpr std::uint64_t LockOffset = 0x7FFFFFF0;

 private:
  static constexpr std::intptr_t Invalid = -1;
  std::intptr_t FHandle = Invalid;
};

// A file several processes append whole lines to (a log), on a local disk.
// Open takes the file's lock, waiting while another process holds it (each
// holds it for one append only), so that what the holder checks and writes
// in between is one step for all of them. Close releases it.
class TAppendFile {
 public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // Opens the file (creating it when missing; Created tells) and locks it.
  bool Open(const std::string& path);
  bool Created() const { return FCreated; }
  // Size in bytes, and seconds since it was last changed by the system's
  // clock (negative for a change in the future); both as the lock was taken.
  std::uint64_t Size() const { return FSize; }
  double SecondsSinceChange() const { return FAge; }
  // Cuts the file to nothing.
  bool Empty();
  // Writes the bytes at the end of the file in one call, whatever others
  // wrote before. True when every byte was written.
  bool Append(const std::string& bytes);
  void Close();
  bool IsOpen() const { return FHandle != Invalid; }

 private:
  static constexpr std::intptr_t Invalid = -1;
  std::intptr_t FHandle = Invalid;
  bool FCreated = false;
  std::uint64_t FSize = 0;
  double FAge = 0;
};

}  // namespace platform
