// TJournalRun: the journal's side of one conversion run. It notes each
// record before it reaches its file, holds the marks of a batch in one open
// transaction, and at most every CommitEveryMs writes the journal and every
// file written since to disk before it commits those marks and settles their
// notes. One batch costs one sync of each file it wrote (and its folder)
// instead of one per row.
//
// Contract: the caller sends no mark while Commit runs (the connection is
// used by one thread at a time), sends a row's mark only once its record
// is written to its file (TMarks flushes a batch before its statement), and
// calls Closed for every file it closes.
// If the object goes away without End (an exception), the open batch is
// rolled back: its notes stay, and the next run resolves them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Journal.h"
#include "dbf/CodeBase.h"

namespace tidewell {

class TODBC;

// The fingerprint of the current record of a file: its fields (but memos)
// as the file stores them, read back through the library.
std::uint64_t RecordFingerprint(DbfHandle file, const FIELD4INFO* fields);

// The file and its memo file (whichever exist), for syncing.
std::vector<std::string> TableFiles(const std::string& dbfPath);

class TJournalRun {
 public:
  static constexpr std::uint32_t CommitEveryMs = 500;

  TJournalRun(TJournal& journal, TODBC& odbc);
  ~TJournalRun();
  TJournalRun(const TJournalRun&) = delete;
  TJournalRun& operator=(const TJournalRun&) = delete;

  const TJournal& Journal() const { return FJournal; }

  // Starts the first batch (automatic commit off). False: the run can't
  // hold its marks and must not start.
  bool Begin();

  // Notes the current record of `file` (its fields assigned, not yet
  // written) as the copy of a row. False when the note could not be
  // written: the record must not be kept.
  bool Note(DbfHandle file, const FIELD4INFO* fields, const TRowKey& key, const std::string& path, long recNo,
            std::uint64_t& seq);
  // The row's mark is sent and the server said yes: settled at the commit.
  void Marked(std::uint64_t seq);
  // The record was taken back and its row is unmarked: nothing to resolve.
  void Dropped(std::uint64_t seq);
  // The server rolled the whole transaction back (a deadlock does that):
  // the marks held so far are gone, and their notes stay for the next run.
  void RolledBack();
  // Rolls the open batch back: its marks can't be trusted (a record moved
  // and its row's mark could not follow). Their notes stay for the next run.
  void Abandon();
  // The most recent mark of this batch that the server accepted, if any:
  // what to read back to know whether a refusal kept the transaction.
  bool LastMarked(TJournalEntry& entry) const;

  void Created(const std::string& path);
  bool Opened(const std::string& path);
  // After the file is closed; `written` false when it never opened.
  void Closed(const std::string& path, bool written);

  // True when the batch is old enough to be committed.
  bool Due() const;
  // Writes the journal and every file written since the last commit to
  // disk, then commits. False when the commit failed or its answer was
  // lost: the run must end (the notes stay).
  bool Commit();
  // The last commit; automatic commit back on; an empty journal when
  // nothing is left in it. False as for Commit.
  bool End();
  // Rows whose marks this run committed: what it converted, records kept
  // whose marks were rolled back not included (the next run settles them).
  int MarksCommitted() const { return FMarksCommitted; }

 private:
  TJournal& FJournal;
  TODBC& FOdbc;
  bool FActive = false;
  bool FIntact = true;
  std::uint32_t FBatchStart = 0;
  std::vector<std::uint64_t> FMarked;
  std::vector<std::string> FDirty;    // files written since the last commit
  std::vector<std::string> FClosed;   // of those, the ones closed since
  std::vector<std::string> FFolders;  // folders that got a new file
  std::uint64_t FLastMarked = 0;  // 0: no mark accepted in this batch
  int FMarksCommitted = 0;
};

}  // namespace tidewell
