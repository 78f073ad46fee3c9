#include "app/JournalRun.h"

#include <algorithm>

#include "odbc/Connection.h"
#include "platform/System.h"

namespace tidewell {

namespace {

// Memo contents live in the memo file, written with the record; the
// record's own bytes (and so the other fields) say which row it holds.
bool IsMemoLike(const FIELD4INFO& f) {
  return f.type == 'M' || f.type == 'G' || f.type == 'P' || (f.type == 'B' && f.len == 10);
}

void AddOnce(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

}  // namespace

std::uint64_t RecordFingerprint(DbfHandle file, const FIELD4INFO* fields) {
  std::vector<std::string> texts;
  for (const FIELD4INFO* f = fields; f && f->name; ++f) {
    if (IsMemoLike(*f)) continue;
    FieldHandle field = d4field(file, f->name);
    texts.push_back(field ? f4str(field) : std::string());
  }
  return FieldsFingerprint(texts);
}

std::vector<std::string> TableFiles(const std::string& dbfPath) {
  std::vector<std::string> files{dbfPath};
  for (const char* ext : {".fpt", ".FPT", ".dbt", ".DBT"}) {
    const std::string memo = platform::ChangeFileExt(dbfPath, ext);
    if (platform::FileExists(memo)) AddOnce(files, memo);
  }
  return files;
}

TJournalRun::TJournalRun(TJournal& journal, TODBC& odbc) : FJournal(journal), FOdbc(odbc) {}

TJournalRun::~TJournalRun() {
  if (!FActive) return;
  // An exception ended the run: nothing of this batch is known to be on
  // disk, so none of its marks may stay.
  if (FOdbc.ConnectionLost) return;
  FOdbc.EndTransaction(false);
  FOdbc.SetAutoCommit(true);
}

bool TJournalRun::Begin() {
  // The batch keeps the rows it marked locked until its commit, and only
  // those: the programs that add rows meanwhile never wait for it.
  FOdbc.PreferReadCommitted();
  FActive = FOdbc.SetAutoCommit(false);
  FBatchStart = platform::GetTickCount();
  return FActive;
}

bool TJournalRun::Note(DbfHandle file, const FIELD4INFO* fields, const TRowKey& key, const std::string& path,
                       long recNo, std::uint64_t& seq) {
  TJournalEntry e;
  e.Table = FJournal.Table();
  e.Key = key;
  e.File = path;
  e.RecNo = recNo;
  e.Fingerprint = RecordFingerprint(file, fields);
  if (!FJournal.Note(e)) return false;
  seq = e.Seq;
  AddOnce(FDirty, path);
  return true;
}

void TJournalRun::Marked(std::uint64_t seq) {
  FMarked.push_back(seq);
  FLastMarked = seq;
}

void TJournalRun::Dropped(std::uint64_t seq) {
  FJournal.Settle({seq});
}

void TJournalRun::RolledBack() {
  // The server threw the whole batch away: the rows are unmarked, their
  // records are in the files, and the notes tell the next run so.
  FIntact = false;
  FMarked.clear();
  FLastMarked = 0;
}

void TJournalRun::Abandon() {
  if (!FOdbc.ConnectionLost) FOdbc.EndTransaction(false);
  RolledBack();
}

bool TJournalRun::LastMarked(TJournalEntry& entry) const {
  return FLastMarked != 0 && FJournal.PendingEntry(FLastMarked, entry);
}

void TJournalRun::Created(const std::string& path) { AddOnce(FFolders, platform::ExtractFileDir(path)); }

bool TJournalRun::Opened(const std::string& path) { return FJournal.FileOpened(path); }

void TJournalRun::Closed(const std::string& path, bool written) {
  if (path.empty()) return;
  if (!written || !platform::FileExists(path)) {
    FJournal.FileClosed(path);
    return;
  }
  AddOnce(FDirty, path);
  AddOnce(FClosed, path);
}

bool TJournalRun::Due() const { return platform::GetTickCount() - FBatchStart >= CommitEveryMs; }

bool TJournalRun::Commit() {
  FBatchStart = platform::GetTickCount();
  // Notes first, then the records they describe: a committed mark finds
  // both on disk.
  std::vector<std::string> paths;
  for (const auto& dbf : FDirty)
    for (const auto& f : TableFiles(dbf)) paths.push_back(f);
  for (const auto& folder : FFolders) paths.push_back(folder);
  if (!FJournal.Sync() || !platform::SyncPaths(paths)) return false;
  if (FOdbc.ConnectionLost || !FOdbc.EndTransaction(true)) return false;
  FMarksCommitted += static_cast<int>(FMarked.size());
  FDirty.clear();
  FFolders.clear();
  if (FIntact) FJournal.Settle(FMarked);
  FIntact = true;
  FMarked.clear();
  FLastMarked = 0;
  for (const auto& file : FClosed) FJournal.FileClosed(file);
  FClosed.clear();
  FJournal.Compact();
  return true;
}

bool TJournalRun::End() {
  if (!FActive) return false;
  const bool committed = Commit();
  FActive = false;
  if (FOdbc.ConnectionLost) return false;
  if (!committed) FOdbc.EndTransaction(false);
  FOdbc.SetAutoCommit(true);
  if (committed && FJournal.Pending().empty() && FJournal.OpenFiles().empty()) FJournal.Compact(true);
  return committed;
}

}  // namespace tidewell
