// The start of a run: what an interrupted run of the same table left in its
// journal is resolved against the rows' marks and the files' records before
// anything new is selected (the rules are at the top of Journal.cpp).
#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "app/ConverterLock.h"
#include "app/Journal.h"
#include "app/JournalRun.h"
#include "app/Marks.h"
#include "app/RowKey.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "common/Format.h"
#include "dbf/CodeBase.h"
#include "dbf/mycbase.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/SharedFiles.h"
#include "platform/System.h"

namespace tidewell {

namespace {

void Log(const std::string& text) {
  if (MainLog) MainLog->Flush(text);
}

// Marks the unmarked row with the entry's record, or (clear) takes back the
// mark it holds with that record, and reads the row back: true when the row
// now holds what was wanted. A row someone else marked meanwhile is left
// alone either way.
bool SetMark(TODBCStatement& st, const std::string& table, const TJournalEntry& e, bool clear) {
  if (clear)
    UnmarkRow(st, table, e.Key, e.RecNo);
  else
    MarkRow(st, table, e.Key, e.RecNo);
  return ReadingOf(ReadRowMark(st, table, e.Key), e.RecNo).State == (clear ? msUnconverted : msOwn);
}

// The files named by the entries, each opened once for the whole
// resolution.
class TFiles {
 public:
  // What opening repairs (an index rebuilt with the template's tags) is
  // reported to the log, as in a run.
  TFiles(std::string root, const std::string& indexTemplate)
      : FRoot(std::move(root)), FCode(StartLibrary(indexTemplate, false)) {}
  ~TFiles() {
    CloseScratch();
    for (auto& [path, f] : FOpen) {
      if (f.Fields) u4freeDefault(f.Fields);
      if (f.Data) d4close(f.Data);
    }
    StopLibrary(FCode);
  }
  TFiles(const TFiles&) = delete;
  TFiles& operator=(const TFiles&) = delete;

  // Whether record `recNo` of `path` is the one the entry noted; unknown
  // when the file is there but does not open (another program holds it) or
  // its record can't be read, unreachable when the file is missing because
  // its folder or the share root is (a share that is away holds no file,
  // which says nothing of the records it holds).
  enum THolds { hoYes, hoNo, hoUnknown, hoUnreachable };
  THolds Holds(const TJournalEntry& e) {
    auto it = FOpen.find(e.File);
    if (it == FOpen.end()) {
      TFile f;
      if (platform::FileExists(e.File)) f.Data = d4open(FCode, e.File.c_str());
      if (f.Data) f.Fields = d4fieldInfo(f.Data);
      it = FOpen.emplace(e.File, f).first;
    }
    const TFile& f = it->second;
    if (!f.Data) {
      if (platform::FileExists(e.File)) return hoUnknown;
      return Reachable(e.File) ? hoNo : hoUnreachable;
    }
    if (d4go(f.Data, e.RecNo) != r4success) return e.RecNo > d4recCount(f.Data) ? hoNo : hoUnknown;
    return RecordFingerprint(f.Data, f.Fields) == e.Fingerprint ? hoYes : hoNo;
  }
  // Whether the current record of the entry's file (Holds found it) is
  // what the row becomes in that file now: `fill` assigns the row's texts,
  // by the conversion's rules, to a record of a scratch table of the same
  // layout beside the journal, and the two are compared as stored. Unknown
  // when the scratch table can't be made.
  THolds SameAsRow(const TJournalEntry& e, const std::string& scratchPath,
                   const std::function<bool(DbfHandle, const FIELD4INFO*)>& fill) {
    const TFile& f = FOpen.at(e.File);
    if (FScratchFor != e.File) {
      CloseScratch();
      FScratchPath = scratchPath;
      const std::string dir = platform::ExtractFileDir(scratchPath);
      if (!platform::DirectoryExists(dir)) platform::ForceDirectories(dir);
      FScratch = d4create(FCode, scratchPath.c_str(), f.Fields, nullptr);
      if (FScratch && d4appendBlank(FScratch) != r4success) CloseScratch();
      if (!FScratch) return hoUnknown;
      FScratchFields = d4fieldInfo(FScratch);
      FScratchFor = e.File;
    }
    if (!fill(FScratch, FScratchFields)) return hoUnknown;
    // A record taken back (marked deleted) is no copy; nor is one whose
    // memo is not the row's (its write failed).
    if (d4deleted(f.Data) || RecordFingerprint(FScratch, FScratchFields) != RecordFingerprint(f.Data, f.Fields))
      return hoNo;
    for (const FIELD4INFO* field = FScratchFields; field && field->name; ++field) {
      if (field->type != 'M') continue;
      FieldHandle mine = d4field(FScratch, field->name), theirs = d4field(f.Data, field->name);
      if (!mine || !theirs || f4str(mine) != f4str(theirs)) return hoNo;
    }
    return hoYes;
  }
  // The file's folder and the share root are there: a file missing from
  // them is a file that is not there.
  bool Reachable(const std::string& path) const { return FolderReachable(platform::ExtractFileDir(path)); }
  bool FolderReachable(const std::string& folder) const {
    return platform::DirectoryExists(folder) && platform::DirectoryExists(FRoot);
  }
  // Opening a table checks it and repairs what an interrupted writer left.
  bool Check(const std::string& path) {
    if (FOpen.count(path)) return true;
    if (!platform::FileExists(path)) return false;
    DbfHandle d = d4open(FCode, path.c_str());
    if (d) d4close(d);
    return d != nullptr;
  }

 private:
  struct TFile {
    DbfHandle Data = nullptr;
    FIELD4INFO* Fields = nullptr;
  };
  void CloseScratch() {
    if (FScratchFields) u4freeDefault(FScratchFields);
    if (FScratch) d4close(FScratch);
    FScratch = nullptr;
    FScratchFields = nullptr;
    FScratchFor.clear();
    if (FScratchPath.empty()) return;
    for (const auto& part : TableFiles(FScratchPath)) platform::RemoveFile(part);
    FScratchPath.clear();
  }

  std::string FRoot;
  CodeHandle FCode = nullptr;
  std::map<std::string, TFile> FOpen;
  DbfHandle FScratch = nullptr;
  FIELD4INFO* FScratchFields = nullptr;
  std::string FScratchFor, FScratchPath;
};

}  // namespace

std::string TKestrel::JournalPath(const std::string& table) const {
  std::string dir = !ExeDirOverride.empty() ? ExeDirOverride
                    : !ExeDir.empty()       ? ExeDir
                                            : platform::ExtractFileDir(platform::ExecutablePath());
  const std::string sep(1, platform::PathDelim);
  return dir + sep + "journal" + sep + table + ".jnl";
}

bool TKestrel::ResolveJournal(TJournal& journal, const std::string& table) {
  if (!journal.Load()) {
    Log(Format("Journal %s can't be read; %s not converted in this cycle", journal.Path(), table));
    return false;
  }
  for (int line : journal.DamagedLines)
    Log(Format("Journal %s: line %d damaged and skipped; a row it named may be copied twice", journal.Path(), line));
  // Notes lost with the end of the journal can't be settled: their rows,
  // if marked, stay so; if not, they may be in a record and copied again.
  if (journal.CutShort() || journal.LongTornTail) {
    if (journal.CutShort())
      Log(Format("Journal %s is %d bytes, shorter than the %d it had; rows of the notes it lost may be copied twice",
                 journal.Path(), static_cast<int>(journal.Bytes()), static_cast<int>(journal.KnownBytes)));
    else
      Log(Format("Journal %s ends in %d bytes that are not a whole line (cut short or damaged); rows of the notes "
                 "it lost may be copied twice",
                 journal.Path(), static_cast<int>(journal.TornBytes)));
    journal.RememberSize();
  }
  // A note is settled only against the table and folder it was written
  // for. Journals swapped or copied (a restore, a copied folder) hold notes
  // of the other table: they go to that table's journal, and this table's
  // notes in the other journal come here first, before anything of this
  // table is selected (its rows would otherwise be copied again). A note
  // whose file is in neither table's folder (or not in the folder of the
  // table it names) is set aside untouched.
  const std::string sep(1, platform::PathDelim);
  const std::string root = ShareRootPath();
  const std::string folder = root + "netw" + sep + table;
  const std::string other = table == "weight" ? "action" : "weight";
  const std::string otherFolder = root + "netw" + sep + other;
  const auto ours = [&](const TJournalEntry& e, const std::string& named, const std::string& dir) {
    return platform::ExtractFileDir(e.File) == dir && (e.Table == named || !e.TableNamed);
  };
  TJournal theirs(JournalPath(other), other);
  // The other journal is touched only while no other process converts that
  // table: its converter writes it all through its run. Taken without
  // waiting; held, the exchange waits for a later cycle.
  platform::TLockFile theirsLock;
  // (A lock that can't be had for another reason is passed over, as the
  // converter's own lock is.)
  const platform::TLockFile::TState theirsState = theirsLock.TryLock(
      platform::ExtractFileDir(theirs.Path()) + std::string(1, platform::PathDelim) + other + ".lock",
      TConverterLock::HolderText());
  const bool mayTouchTheirs = theirsState != platform::TLockFile::lsHeld;
  if (theirsState == platform::TLockFile::lsHeld)
    Log(Format("Journal %s: not looked at for %s notes while another converter has the %s table (%s)", theirs.Path(),
               table, other, theirsLock.Holder));
  if (mayTouchTheirs && platform::FileExists(theirs.Path()) && theirs.Load()) {
    std::vector<std::uint64_t> taken;
    bool ok = true;
    for (auto e : theirs.Pending()) {
      if (!ours(e, table, folder)) continue;
      taken.push_back(e.Seq);
      e.Table = table;
      ok = ok && journal.Note(e);
    }
    std::vector<std::string> openTaken;
    for (const auto& path : theirs.OpenFiles())
      if (platform::ExtractFileDir(path) == folder) openTaken.push_back(path);
    for (const auto& path : openTaken) ok = ok && journal.FileOpened(path);
    if (!taken.empty() || !openTaken.empty()) {
      ok = ok && journal.Sync() && theirs.Settle(taken);
      for (const auto& path : openTaken) ok = ok && theirs.FileClosed(path);
      if (!ok) {
        Log(Format("Journal %s: %d notes of the %s table can't be taken from %s; %s not converted in this cycle",
                   journal.Path(), static_cast<int>(taken.size() + openTaken.size()), table, theirs.Path(), table));
        return false;
      }
      Log(Format("Journal %s: %d notes of the %s table were there (journals swapped or copied); taken into %s",
                 theirs.Path(), static_cast<int>(taken.size() + openTaken.size()), table, journal.Path()));
    }
  }
  std::vector<TJournalEntry> pending, foreign, handed;
  for (auto& e : journal.Pending()) {
    const std::string dir = platform::ExtractFileDir(e.File);
    if (e.Table == table && dir == folder)
      pending.push_back(e);
    else if (ours(e, other, otherFolder))
      handed.push_back(e);
    else
      foreign.push_back(e);
  }
  std::vector<std::string> handedOpen;
  for (const auto& path : journal.OpenFiles()) {
    const std::string dir = platform::ExtractFileDir(path);
    if (dir == otherFolder)
      handedOpen.push_back(path);
    else if (dir != folder)
      journal.FileClosed(path);  // no table's file: not checked with this table's template
  }
  if ((!handed.empty() || !handedOpen.empty()) && !mayTouchTheirs) {
    // Kept here, pending, until the other journal can be written.
    handed.clear();
    handedOpen.clear();
  }
  if (!handed.empty() || !handedOpen.empty()) {
    bool ok = theirs.Load();
    for (auto e : handed) {
      e.Table = other;
      ok = ok && theirs.Note(e);
    }
    for (const auto& path : handedOpen) ok = ok && theirs.FileOpened(path);
    ok = ok && theirs.Sync();
    std::vector<std::uint64_t> seqs;
    for (const auto& e : handed) seqs.push_back(e.Seq);
    for (const auto& path : handedOpen) ok = ok && journal.FileClosed(path);
    ok = ok && journal.Settle(seqs);
    if (!ok) {
      Log(Format("Journal %s: %d notes of the %s table can't be handed to its journal %s; %s not converted in this "
                 "cycle",
                 journal.Path(), static_cast<int>(handed.size() + handedOpen.size()), other, theirs.Path(), table));
      return false;
    }
    Log(Format("Journal %s: %d notes are the %s table's (journals swapped or copied); handed to %s", journal.Path(),
               static_cast<int>(handed.size() + handedOpen.size()), other, theirs.Path()));
  }
  if (!foreign.empty()) {
    if (!journal.SetAside(foreign)) {
      Log(Format("Journal %s: %d notes of another table or folder can't be set aside (%s); %s not converted in this "
                 "cycle",
                 journal.Path(), static_cast<int>(foreign.size()), journal.LastError(), table));
      return false;
    }
    Log(Format("Journal %s: %d notes name another table or a file outside %s (first: %s, %s); left alone, kept in %s",
               journal.Path(), static_cast<int>(foreign.size()), folder, foreign[0].Table, foreign[0].File,
               journal.AsidePath()));
  }
  std::vector<std::string> open;
  for (const auto& path : journal.OpenFiles())
    if (platform::ExtractFileDir(path) == folder) open.push_back(path);
  if (pending.empty() && open.empty()) {
    if (journal.Bytes() == 0 || journal.Compact(true)) return true;
    Log(Format("Journal %s can't be written; %s not converted in this cycle", journal.Path(), table));
    return false;
  }

  // A share that is away can't tell which records it holds: nothing is
  // settled until it is back, and nothing is copied meanwhile.
  TFiles files(root, root + "netw" + std::string(1, platform::PathDelim) +
                         (table == "weight" ? "gstru.dbf" : "astru.dbf"));
  if (!files.FolderReachable(folder)) {
    Log(Format("Journal %s: the folder %s or the share %s can't be reached; %d entries kept, run ended", journal.Path(),
               folder, root, static_cast<int>(pending.size() + open.size())));
    return false;
  }
  for (const auto& path : open) {
    if (!files.Reachable(path)) continue;  // checked once it can be reached
    if (files.Check(path)) Log(Format("Checked %s, left open by an interrupted run", path));
    journal.FileClosed(path);
  }

  TODBCStatement st(MainOdbc.get(), false, false);
  TODBCStatement rowRead(MainOdbc.get(), true, false);
  const std::string scratch = platform::ChangeFileExt(journal.Path(), ".check.dbf");
  std::vector<std::string> synced;
  for (const auto& e : pending) {
    const std::string row = Format("%s rec_num=%s (machine %d)", table, e.Key.RecNum, e.Key.Machine);
    const std::string record = Format("record %d of %s", static_cast<int>(e.RecNo), e.File);
    const TMarkReading answer = ReadingOf(ReadRowMark(st, table, e.Key), e.RecNo);
    if (answer.State == msFailed || answer.State == msLinkLost) {
      Log(Format("Journal: the server can't be asked about %s; %d entries kept, run ended", row,
                 static_cast<int>(journal.Pending().size())));
      return false;
    }
    TFiles::THolds holds = answer.State == msGone ? TFiles::hoNo : files.Holds(e);
    if (holds == TFiles::hoYes && (answer.State == msOwn || answer.State == msUnconverted)) {
      // The fingerprint says the record is the one noted; the row's own
      // values say whether it is this row's copy.
      if (!SelectRow(rowRead, table, e.Key)) {
        Log(Format("Journal: the server can't be asked about %s; %d entries kept, run ended", row,
                   static_cast<int>(journal.Pending().size())));
        return false;
      }
      holds = files.SameAsRow(e, scratch, [&](DbfHandle file, const FIELD4INFO* fields) {
        return TMarks::Fill(file, TMarks::Read(rowRead, e.Key, file, fields, e.File));
      });
      if (holds == TFiles::hoUnknown) {
        Log(Format("Journal: %s can't be compared with %s (no scratch table %s); %d entries kept, run ended", record,
                   row, scratch, static_cast<int>(journal.Pending().size())));
        if (FJournalProblem.empty())
          FJournalProblem = "The journal's folder " + platform::ExtractFileDir(scratch) + " can't be written";
        return false;
      }
    }
    if (holds == TFiles::hoUnreachable) {
      Log(Format("Journal: %s can't be reached (its folder or the share is away) to settle %s; %d entries kept, run "
                 "ended",
                 e.File, row, static_cast<int>(journal.Pending().size())));
      return false;
    }
    if (holds == TFiles::hoUnknown) {
      Log(Format("Journal: %s can't be opened to settle %s; %d entries kept, run ended", e.File, row,
                 static_cast<int>(journal.Pending().size())));
      return false;
    }
    if (answer.State == msGone) {
      Log(Format("Journal: %s is no longer in the table; %s left as it is", row, record));
    } else if (answer.State == msOwn) {
      if (holds == TFiles::hoYes) {
        Log(Format("Journal: %s is marked %d; %s kept", row, static_cast<int>(e.RecNo), record));
      } else if (SetMark(st, table, e, true)) {
        // The mark outlived its record (a power cut took the record with
        // the cache, or the file was replaced): the row goes again.
        Log(Format("Journal: %s is marked %d but %s does not hold it; mark cleared, the row is copied again", row,
                   static_cast<int>(e.RecNo), record));
      } else {
        Log(Format("Journal: %s is marked %d but %s does not hold it and the mark could not be cleared; run ended",
                   row, static_cast<int>(e.RecNo), record));
        return false;
      }
    } else if (answer.State == msElsewhere) {
      Log(Format("Journal: %s is marked %d, not %d; nothing to do", row, static_cast<int>(answer.Other),
                 static_cast<int>(e.RecNo)));
    } else if (holds == TFiles::hoYes) {
      // The record is there and its mark never arrived: the record becomes
      // the row's copy once it is on disk.
      if (std::find(synced.begin(), synced.end(), e.File) == synced.end()) {
        // Its folder too: the run that appended it may have made the file.
        auto paths = TableFiles(e.File);
        paths.push_back(platform::ExtractFileDir(e.File));
        if (!platform::SyncPaths(paths)) {
          Log(Format("Journal: %s can't be written to disk; run ended", e.File));
          return false;
        }
        synced.push_back(e.File);
      }
      if (!SetMark(st, table, e, false)) {
        Log(Format("Journal: %s is held by %s but could not be marked; run ended", row, record));
        return false;
      }
      Log(Format("Journal: %s was not marked; %s holds it and is now its mark", row, record));
      ++FLastRowsMarked;
    } else {
      Log(Format("Journal: %s was not marked and %s does not hold it; the row is copied", row, record));
    }
    journal.Settle({e.Seq});
  }
  if (journal.Compact(true)) return true;
  Log(Format("Journal %s can't be written; %s not converted in this cycle", journal.Path(), table));
  return false;
}

}  // namespace tidewell
