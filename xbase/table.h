// Table: one open .dbf file with its memo file.
//
// Open checks the header against the file and refuses anything it can't
// read safely (reporting why to the ErrorSink). Create writes an empty table
// laid out like another one. Appends are safe against other programs that
// append to the same file: the header is locked while a record is added and
// the record count is read afresh under that lock. Every lock is the one the
// xBase programs of the table's flavour take, and every write of the table
// and its memo file is made under the lock that allows it (SharedFile,
// locks.h): the header lock for the header, for appended records and for
// cutting the file, a record's lock for a record already counted.
//
// Appending: the first AppendBlank locks the header, reads the record count
// afresh and keeps the lock for a short batch (at most batch_time_ms, or
// until Flush, Go or Close). Records appended in a batch, and their memos, are
// gathered in memory and written together when the batch ends: memo blocks
// first, then the records, then the header's count, so that the header never
// counts a record the file does not hold. The lock keeps other writers from
// appending to the same slots meanwhile; it is never held longer than the
// batch plus the time the caller takes between two appends.
//
// The current record lives in memory; assignments change it there. After
// Close, and whenever the table object is destroyed, the header's record
// count and date and the end-of-file byte agree with the records.
#pragma once

#include "xbase/code_page.h"
#include "xbase/env.h"
#include "xbase/error_sink.h"
#include "xbase/index_hook.h"
#include "xbase/locks.h"
#include "xbase/memo_file.h"
#include "xbase/os_file.h"
#include "xbase/table_header.h"

#include <cstdint>
#include <functional>
#include <span>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xbase {

struct TableOptions {
  ErrorSink* sink = nullptr;  // null: reports are dropped
  // Files and clock; null: the system's. Must outlive the table.
  Env* env = nullptr;
  bool read_only = false;
  std::string system_code_set;  // empty: SystemCodeSet()
  int lock_timeout_ms = 10000;
  // Longest a batch of appends keeps the header locked and its records in
  // memory; 0 writes each record out when the next one is appended.
  int batch_time_ms = 100;
  // Longest the production index goes unwritten while records are flushed:
  // programs reading the index meanwhile see new records this late at most.
  int index_write_ms = 1000;
  // Asked while waiting for a lock; true ends the wait (the call fails).
  std::function<bool()> cancelled;
  // With read_only: complete records past the header's record count (left
  // by a writer that stopped between a record and the count) are counted,
  // as the next writer's open takes them in; nothing is written.
  bool see_records_past_count = false;
};

// Everything needed to create a table like another: its header (fields,
// version, flags, code page) and its memo file's kind and block size.
struct TableLayout {
  TableHeader header;
  MemoKind memo_kind = MemoKind::kNone;
  uint32_t memo_block_size = 0;
  // The memo file's header block as the model's file holds it: a new memo
  // file repeats the bytes the engine does not compute. Empty: none.
  std::vector<uint8_t> memo_header;
  // The new table will have its production index (written beside it before
  // anyone can open it): the index flag and the fields' tag marks are kept.
  bool indexed = false;
};

class Table {
 public:
  static std::unique_ptr<Table> Open(const std::string& path, const TableOptions& options);
  // Creates `path` (and its memo file) like `layout`, empty, and opens it.
  // With overwrite false an existing file is an error. Unless the layout
  // says `indexed`, a created table carries no index: the index flag is
  // cleared until an index is written.
  static std::unique_ptr<Table> Create(const std::string& path, const TableLayout& layout, bool overwrite,
                                       const TableOptions& options);

  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  const std::string& path() const { return path_; }
  const TableHeader& header() const { return header_; }
  TableLayout Layout() const;

  // Fields a program sees, in file order; system fields (_NullFlags) are hidden.
  const std::vector<int>& visible_fields() const { return visible_; }
  const FieldDescriptor& field(int index) const { return header_.fields[static_cast<size_t>(index)]; }
  int FindField(std::string_view name) const;  // ASCII case-insensitive, -1 when absent

  uint32_t record_count() const { return header_.record_count; }
  // The current record's number; 0 when there is none: before the first
  // append and after one that failed.
  uint32_t record_number() const { return current_; }

  bool AppendBlank();
  // Stores a text in the current record: Assign for ordinary fields,
  // AssignMemo for memo-like ones. A number too wide for its field becomes
  // "*"s and is reported once per field.
  bool Assign(int field, std::string_view text);
  bool AssignMemo(int field, std::string_view text);

  bool Go(uint32_t record_number);
  bool deleted() const { return current_ != 0 && record_[0] == '*'; }
  // The current record's value of a field as text in the system code set;
  // memo fields give the memo, "" when it can't be read.
  std::string Value(int field);
  // What Value would give after Assign (or AssignMemo) of `text` to the
  // field: the text in the field's stored form (cut, padded, numbers in the
  // field's width and decimals, dates and logicals as stored), through the
  // table's code page and back. No record is changed.
  std::string StoredValue(int field, std::string_view text);

  void AddIndex(std::unique_ptr<IndexMaintainer> index) { indexes_.push_back(std::move(index)); }
  IndexMaintainer* index(size_t i) const { return i < indexes_.size() ? indexes_[i].get() : nullptr; }
  // The current record as stored (after Go or an append).
  std::span<const uint8_t> record_bytes() const { return record_; }
  // Writes the table flags byte (bit 0: a production index goes with the table).
  bool SetTableFlags(uint8_t flags);

  // Writes the records appended so far (and their memos), and the
  // production index when it has not been written for index_write_ms.
  bool Flush();
  // Takes back the record this object appended last (of those it has not
  // taken back already): see d4appendUndo.
  bool UndoAppend();
  bool Close();
  // How many times appended records could not be written. Records gathered
  // for a write that failed are gone, and later appends take their
  // numbers: a caller that counted on those numbers learns it here.
  unsigned failed_writes() const { return failed_writes_; }

 private:
  Table(std::string path, const TableOptions& options);
  bool Load(std::unique_ptr<OsFile> file);
  bool OpenMemo(MemoKind kind);
  bool WriteRecord();
  bool FinishAppended();
  bool WriteIndexes();
  uint32_t AdoptRecordsPastCount(uint32_t count, uint64_t size);
  bool EndsWithEof(uint64_t size);
  bool BeginBatch();
  // Takes the header lock unless held; the batch and the repairs keep it.
  bool LockHeader();
  // The header lock: the proof the header's and the batch's writes need
  // (without it, those writes are refused).
  const HeldLock& Head() const { return header_lock_ ? *header_lock_ : HeldLock::None(); }
  void IndexRecordsOfOthers(uint32_t known, uint32_t count);
  void UnlockHeader();
  bool CommitBatch();
  void ForgetLostRecords();
  void Report(const std::string& problem);
  void ReportOncePerField(int field, const std::string& problem);
  uint8_t* NullFlags();
  bool Translated(const FieldDescriptor& field) const;

  std::string path_;
  TableOptions options_;
  Env* env_;
  ErrorSink* sink_;
  LockScheme locks_ = LockScheme::High();
  NullSink null_sink_;
  std::unique_ptr<SharedFile> file_;
  std::optional<HeldLock> header_lock_;  // declared after file_: released before it closes
  std::unique_ptr<MemoFile> memo_;
  std::unique_ptr<TextConverter> converter_;
  TableHeader header_;
  std::vector<int> visible_;
  std::vector<uint8_t> blank_;
  std::vector<uint8_t> record_;
  std::vector<bool> reported_;
  std::vector<std::unique_ptr<IndexMaintainer>> indexes_;
  uint32_t current_ = 0;
  // The batch of appends under way: header lock held, records after
  // committed_count_ gathered in pending_ (the current one in record_).
  bool batch_ = false;
  unsigned failed_writes_ = 0;
  int64_t batch_start_ms_ = 0;
  uint32_t committed_count_ = 0;
  std::vector<uint8_t> pending_;
  std::vector<uint32_t> autoinc_next_;  // per field, read when the batch began
  bool dirty_ = false;     // record_ differs from the file
  bool appended_ = false;  // record_ was appended here and not yet handed to the indexes
  std::vector<uint32_t> appended_here_;  // records this object appended, not taken back
  bool modified_ = false;
  bool index_reported_ = false;
  int64_t index_written_ms_ = 0;
  bool index_dirty_ = false;   // keys added or removed since the indexes were written
  bool closed_ = false;
};

}  // namespace xbase
