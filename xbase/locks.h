// Locks: where the engine locks each file, the same bytes the xBase programs
// that share these files lock, so that they and we exclude each other.
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
#pragma once

#include "xbase/table_header.h"

#include <cstdint>

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

}  // namespace xbase
