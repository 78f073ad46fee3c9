// Locks: where the engine locks each file, the same bytes the xBase programs
// that share these files lock, so that they and we exclude each other; and
// SharedFile, the one place table, memo and index code lock, write and sync
// a file that others may have open. No other code of the engine passes a
// byte range to OsFile::Lock or writes to such a file.
//
// Those programs lock bytes that hold no data (far past the end of any real
// file), never the header or the records themselves: on Windows a lock is
// mandatory, and a lock on real bytes would make every other program's read
// of them fail. Which bytes depends on the flavour, and for FoxPro tables on
// whether the table has a structural (production) .cdx:
//
//  what            FoxPro with a structural     dBASE III/IV; FoxPro 2.x
//                  .cdx; every Visual FoxPro     without a structural .cdx
//                  table ("high" scheme)         ("low" scheme)
//  --------------  ---------------------------  ----------------------------
//  table header    0x7FFFFFFE, 1 byte           0x40000000, 1 byte
//   (append lock:   (the header is record 0)
//   count, date)
//  record n        0x7FFFFFFE - n, 1 byte       0x40000000 + header length
//                                                + (n - 1) * record length,
//                                                1 byte
//  whole table     0x78000000, 0x07FFFFFF       0x40000000, 0x3FFFFFFD
//   (FLOCK; we      bytes: the header byte and   bytes
//   never take it)  every record byte below it
//  .cdx index      0x7FFFFFFE, 1 byte, held to read the index as well as to
//                  change it (FoxPro takes it exclusive for both; we take it
//                  shared to read)
//  .mdx index      0x40000000, 1 byte, likewise
//  memo file       the table header's byte, in the memo file
//
// Sources and choices:
//  - The high scheme (header as record 0 at 2^31 - 2, records counting down,
//    the file lock covering the header byte and all record bytes) and the
//    .cdx lock are those of FoxPro and Visual FoxPro, from their published
//    descriptions; FoxPro uses the low scheme, with record offsets, for a
//    table without a structural index.
//  - We found no published description of dBASE III/IV's own lock bytes;
//    dBASE-format tables get the low scheme (the one FoxPro 2.x shares with
//    the dBASE-compatible engines), and their .mdx the low scheme's header
//    byte. A program locking elsewhere is not excluded by us, nor we by it.
//  - No documentation we found gives memo files a lock of their own: those
//    programs write a memo while they hold its record (an edit) or the table
//    header (an append). The engine allocates memo blocks only while it
//    holds the table header, and also locks the header's byte in the memo
//    file, which no reader touches, so that two of its own writers never
//    take the same blocks.
//
// An append takes the header lock, reads the record count afresh, writes
// the records after the last one and the new count, and lets go: the record
// numbers of two programs appending at once never collide. A change to a
// record that is already counted takes that record's lock.
//
// What a held lock lets its holder write (SharedFile refuses any other
// write, so a write can't happen without its lock):
//  - the file's own lock, exclusive (a table's header lock, a memo file's
//    lock, an index file's lock): any byte of the file, and cutting it;
//  - a record's lock: that record's bytes;
//  - a shared lock: nothing (it is taken to read).
// A file being created, that nobody can open yet, is written under its own
// lock as well: it costs nothing and keeps the rule without exceptions.
#pragma once

#include "xbase/os_file.h"
#include "xbase/table_header.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace xbase {

struct LockRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool operator==(const LockRange&) const = default;
};

class LockScheme {
 public:
  // `structural_cdx`: the table carries a production .cdx (its index flag is
  // set and the file is there).
  static LockScheme ForTable(Flavor flavor, bool structural_cdx);
  static LockScheme High() { return LockScheme(true); }
  static LockScheme Low() { return LockScheme(false); }

  bool high() const { return high_; }
  LockRange Header() const;
  LockRange Record(uint32_t number, uint32_t header_length, uint32_t record_length) const;
  // The byte a companion file (memo) is locked at.
  LockRange Companion() const { return Header(); }

 private:
  explicit LockScheme(bool high) : high_(high) {}
  bool high_;
};

// The byte an index file is locked at, to read it and to change it.
enum class IndexLockKind { kCdx, kMdx };
LockRange IndexLock(IndexLockKind kind);

// What a file is to the conventions above: which byte is its own lock.
enum class FileRole { kTable, kMemo, kCdx, kMdx };

// How long a lock is waited for, and what ends the wait early.
struct LockWait {
  int timeout_ms = 10000;
  std::function<bool()> cancelled;
};

class SharedFile;

// A lock held on a SharedFile; only SharedFile makes one. It lets go when
// released or destroyed, and it is what SharedFile's writes ask for.
class HeldLock {
 public:
  HeldLock(HeldLock&& other) noexcept;
  // Lets go of this lock and takes `other`'s; a lock on the same bytes of
  // the same file is one lock (they do not stack), so it is kept.
  HeldLock& operator=(HeldLock&& other) noexcept;
  HeldLock(const HeldLock&) = delete;
  ~HeldLock() { Release(); }
  void Release();
  bool exclusive() const { return exclusive_; }
  // A lock of no file: it allows no write.
  static const HeldLock& None();

 private:
  friend class SharedFile;
  HeldLock(SharedFile* file, LockRange lock, bool exclusive, uint64_t from, uint64_t to)
      : file_(file), lock_(lock), exclusive_(exclusive), from_(from), to_(to) {}
  SharedFile* file_;  // null once released
  LockRange lock_;
  bool exclusive_;
  uint64_t from_, to_;  // the bytes [from_, to_) it lets its holder write
};

// An open file other programs may have open too, with the locks of its role.
// Reads need no lock (a caller takes a shared one to read a consistent
// whole); every write and cut needs the HeldLock that allows it.
// Not thread-safe; a HeldLock must not outlive its SharedFile.
class SharedFile {
 public:
  SharedFile(std::unique_ptr<OsFile> file, FileRole role, LockScheme scheme, LockWait wait = {})
      : file_(std::move(file)), role_(role), scheme_(scheme), wait_(std::move(wait)) {}
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;

  // Tables and memo files: which scheme the table's flavour uses.
  void set_scheme(LockScheme scheme) { scheme_ = scheme; }
  void set_wait(LockWait wait) { wait_ = std::move(wait); }

  bool ReadAt(uint64_t offset, void* buffer, size_t size) { return file_->ReadAt(offset, buffer, size); }
  std::optional<uint64_t> Size() { return file_->Size(); }

  // The file's own lock (see the table above); exclusive lets its holder
  // write anywhere. Waits as set_wait says, or `timeout_ms` when given.
  std::optional<HeldLock> LockFile(bool exclusive, std::optional<int> timeout_ms = std::nullopt);
  // A counted record's lock (a table only): lets its holder write it.
  std::optional<HeldLock> LockRecord(uint32_t number, uint32_t header_length, uint32_t record_length);

  // False, writing nothing, when `held` is not a lock of this file that
  // allows these bytes.
  bool WriteAt(const HeldLock& held, uint64_t offset, const void* buffer, size_t size);
  bool Truncate(const HeldLock& held, uint64_t size);
  bool Sync() { return file_->Sync(); }

 private:
  friend class HeldLock;
  std::optional<HeldLock> Take(LockRange lock, bool exclusive, int timeout_ms, uint64_t from, uint64_t to);
  bool Allows(const HeldLock& held, uint64_t offset, uint64_t size) const;

  std::unique_ptr<OsFile> file_;
  FileRole role_;
  LockScheme scheme_;
  LockWait wait_;
};

}  // namespace xbase
