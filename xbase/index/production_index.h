// ProductionIndex: the index file a table opens with itself, compound .cdx
// (FoxPro, structural) or dBASE IV .mdx, kept in step with appended records.
//
// Contract
// - Open reads every tag of an existing file, checks the whole tree (node
//   bounds, key order, no cycles) and refuses a damaged file with a reason;
//   it never trusts a size or offset read from the file.
// - Create writes a new, empty index with the given tags. Every tag must be
//   maintainable (CheckTags); otherwise nothing is written and the reason
//   names the tag, its expression and why, so the caller can create the
//   table without a production index.
// - AddRecord puts the keys of one appended record into every tag whose FOR
//   condition holds (a unique tag keeps only the first record of each key).
//   Adding a record's keys again changes nothing. Keys are kept in memory
//   in sorted sets, O(log n) per key; Flush (and the destructor) write
//   every tree anew: compact or dBASE IV nodes filled from the sorted keys,
//   interior levels above them. A file is read whole and its trees written
//   whole: O(n) per open and per flush (but for the read of an unchanged
//   .cdx, below).
// - Sharing: the file is opened once, by Open (for writing when it may
//   be), and that one handle serves every read and write until the object
//   goes. Every read (Open, and the one at the start of a Flush) is made
//   under the index lock the xBase programs sharing the file take
//   (locks.h); a Flush holds that lock exclusively from its read to its
//   last write, so the flushes of all writers, ours and theirs, happen one
//   after another. A Flush reads the file again and adds the keys added
//   here to what it holds now, so that keys another writer flushed
//   meanwhile are kept; a .cdx whose change fields (its size, and root,
//   free-node pointer and version of the file header and of every tag
//   header) are as we last read or wrote them is not read again, since the
//   keys in memory are then the file's plus ours. An .mdx has no change
//   counter (and dBASE IV changes its nodes in place): it is read whole at
//   every Flush. A tag's header never moves: readers find it once, when
//   they open the file. The new trees go into space no tree in use covers
//   (gaps left by earlier trees, else past the end); then each tag header
//   is switched to its new root, and the file header's change fields move
//   on (a .cdx: the version after the free-node pointer, in the file
//   header and every tag header; an .mdx: the update date, the page count
//   past the new trees, and each tag's root page, which differs from the
//   old one since the trees in use are never written over). A reader that
//   holds the lock while it reads, and throws its cached pages away when
//   those fields changed, never sees a page change under it nor a key of
//   another record. The file is never cut shorter while it is shared: the
//   space old trees used is taken by a later flush.
// - The file is valid at every moment, kills and power cuts included: the
//   new trees reach the disk before any header points at them. The switch
//   is not one write but one per tag header (12 bytes of a .cdx tag
//   header, 8 of an .mdx one) and then one of the file header's change
//   fields (4 bytes of a .cdx, 16 of an .mdx), each within the first 48
//   bytes of a header that begins on a 512-byte boundary (the readers take
//   no other), so within one sector, which a power cut writes whole or not
//   at all. A kill between two of them leaves a tag on its older tree,
//   behind the table, which the next open catches up; an .mdx whose new
//   trees lie past its old end then counts fewer pages than the file has,
//   which costs nothing (no tag refers to those pages, and the next writer
//   takes them again).
// - Create makes a file that nobody may open before the object that made
//   it is gone (callers build it under another name or in a folder of its
//   own): that object writes the file whole.
// - Tags, Walk and Seek describe and read what the file holds.
//
// Not thread-safe; one object per open table.
#pragma once

#include "xbase/env.h"
#include "xbase/index/record_view.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xbase::index {

enum class IndexKind { kCdx, kMdx };

// How long a read or a flush waits for another program's index lock, and
// what ends the wait early.
struct IndexLockWait {
  int timeout_ms = 10000;
  std::function<bool()> cancelled;
};

// One tag as a template describes it and a new index gets it.
struct TagDescription {
  std::string name;        // upper case, at most 10 characters
  std::string expression;  // key expression
  std::string filter;      // FOR condition, empty for none
  bool unique = false;
  bool descending = false;
  char key_type = 0;       // 'C', 'N', 'D'; 0: from the expression
  uint16_t key_length = 0; // 0: from the expression on a blank record
  // The tag's collating sequence as the file names it; empty or "MACHINE"
  // for plain byte order, the only one the engine can keep.
  std::string collation;
  // The tag header as its file holds it; a new index made from this
  // description repeats its bytes but for what the new tree and tag need.
  std::vector<uint8_t> header;
};

class ProductionIndex {
 public:
  // `env`: files and clock (null: the system's); it must outlive the index.
  static std::unique_ptr<ProductionIndex> Open(const std::string& path, const std::vector<FieldInfo>& fields,
                                               std::string* problem, const IndexLockWait& wait = {},
                                               Env* env = nullptr);
  // `file_header`: another index's file_header(), whose bytes the new
  // file's header repeats but for what describes the new file.
  static std::unique_ptr<ProductionIndex> Create(const std::string& path, IndexKind kind,
                                                 const std::vector<TagDescription>& tags,
                                                 const std::vector<FieldInfo>& fields, std::string* problem,
                                                 const std::vector<uint8_t>& file_header = {}, Env* env = nullptr);
  // Empty when every tag can be maintained on a table with these fields;
  // otherwise one line: tag, expression and the reason.
  static std::string CheckTags(IndexKind kind, const std::vector<TagDescription>& tags,
                               const std::vector<FieldInfo>& fields);
  // The kind an index file's name asks for: ".cdx" or ".mdx" in any case.
  static std::optional<IndexKind> KindOfPath(const std::string& path);

  virtual ~ProductionIndex() = default;

  virtual IndexKind kind() const = 0;
  virtual const std::string& path() const = 0;
  virtual const std::vector<TagDescription>& tags() const = 0;
  // The file header (a .cdx: its first 1024 bytes; an .mdx: its first 544)
  // as read or written last.
  virtual const std::vector<uint8_t>& file_header() const = 0;
  // The position of a tag in tags(), by name in any case.
  std::optional<size_t> FindTag(std::string_view name) const {
    for (size_t i = 0; i < tags().size(); ++i)
      if (SameName(tags()[i].name, name)) return i;
    return std::nullopt;
  }
  // Why a tag read from the file can't be kept up to date; empty when it can.
  // An index with such a tag refuses AddRecord rather than leave it behind.
  virtual std::string Unmaintainable() const = 0;

  virtual bool AddRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) = 0;
  virtual bool AddRecord(const RecordView& record, std::string* problem) = 0;
  virtual bool Flush(std::string* problem) = 0;
  virtual void SetLockWait(IndexLockWait wait) = 0;
  // Takes out the keys AddRecord put in for a record that is being taken
  // back (the last one appended); they stay out when the file is merged.
  virtual bool RemoveRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) = 0;

  // Every key of a tag in the tag's order with its record number; the key
  // in the engine's sortable form (see key_codec.h). Stops when fn is false.
  virtual void Walk(size_t tag, const std::function<bool(std::string_view key, uint32_t record)>& fn) const = 0;
  virtual size_t KeyCount(size_t tag) const = 0;
  // The first record whose key starts with `key` (sortable form), in tag order.
  virtual std::optional<uint32_t> Seek(size_t tag, std::string_view key) const = 0;
  // The key a record has in a tag (sortable form); nullopt when the tag's
  // FOR condition excludes it.
  virtual std::optional<std::string> KeyOf(size_t tag, const RecordView& record) const = 0;
};

}  // namespace xbase::index
