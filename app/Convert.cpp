// The conversion of one cycle: every unconverted row of one source table is
// appended to the .dbf file of its machine and day and then marked with the
// record number of its copy.
#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/ConverterLock.h"
#include "app/FieldText.h"
#include "app/Journal.h"
#include "app/JournalRun.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "common/BuildConfig.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "common/Text.h"
#include "dbf/CodeBase.h"
#include "dbf/mycbase.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/System.h"

namespace tidewell {

std::string MakeDbfName(TDateTime Date, int Machine) {
  return Format("%s%.2d", FormatDateTime("MMDDYY", Date), Machine) + ".dbf";
}

namespace {

// What one run holds. Released on every path, an exception included, in the
// order the normal end of a run releases them.
struct TRun {
  std::unique_ptr<TODBCStatement> Update;
  std::unique_ptr<TODBCStatement> Select;
  CodeHandle Code = nullptr;
  DbfHandle File = nullptr;
  FIELD4INFO* Fields = nullptr;
  std::string FilePath;

  void CloseFile() {
    if (Fields) u4freeDefault(Fields);
    Fields = nullptr;
    if (File) d4close(File);
    File = nullptr;
  }
  void StopLibrary() {
    CloseFile();
    if (Code) {
      code4close(Code);
      code4initUndoP(Code);
    }
    Code = nullptr;
  }
  ~TRun() {
    StopLibrary();
    Select.reset();
    Update.reset();
  }
};

void LogNow(const std::string& text) {
  if (MainLog) MainLog->Flush(text);
}

}  // namespace

// A number too wide for its field is kept the way the format keeps it (the
// field filled with asterisks) and its row is marked, so a site must hear of
// every such row: which row, which field, what value and how wide.
std::string TKestrel::TMarks::OverflowLine(const std::string& table, const TCopy& copy, const std::string& field,
                                           const std::string& value) {
  int width = 0, decimals = 0;
  for (const FIELD4INFO* f = copy.Fields; f && f->name; ++f)
    if (SameText(f->name, field)) {
      width = f->len;
      decimals = f->dec;
    }
  return Format("Row of %s with machine %s, rec_num %s: value %s does not fit field %s of %s (%d wide, %d decimals); "
                "stored as asterisks",
                table, copy.Key.MachineNull ? std::string("NULL") : copy.Key.MachineValue,
                copy.Key.RecNum, value, field, copy.Path, width, decimals);
}

std::string TKestrel::ShareRootPath() const { return ShareRootOverride.empty() ? std::string(ShareRoot) : ShareRootOverride; }

// ---- the append-then-mark step ---------------------------------------------
//
// Every row becomes one record, and the record's number becomes the row's
// mark. Records are written first, each noted in the table's journal before
// it reaches the file, so a crash never leaves a row marked whose copy is
// missing. Their marks travel in batches: one statement marks the rows of up
// to MarkBatchRows records and one select reads their marks back, two round
// trips for the batch. A batch goes when it is full, when the journal's
// batch is due for its commit, and before its file is closed, so a batch
// never spans two files. What a row holds after its batch's statement
// decides:
//  - the number of its record: marked;
//  - the number an earlier record of the same key got (rows that share
//    machine and rec_num are all marked by the first of them): marked too,
//    with a line;
//  - anything else (no row: gone; unconverted; another converter's number,
//    for a mark only takes a row still unconverted): refused. The refused
//    row's record and every later record of the batch are taken back and
//    the later ones written again, so the file reads as if the refused row
//    had never been copied and each later record has the number the one
//    before it had; the marks those rows already got are corrected by the
//    next statement, before anything is committed.
// A statement for many rows that fails (a trigger or a lock wait refusing
// one row fails them all) is sent again a row at a time, so that only the
// refused row is refused. When the outcome is unknown (the link is gone, or
// the marks can't be read back) the records stay and the run ends: their
// notes let the next run settle them. The marks are committed in batches
// once the journal and the files are on disk (JournalRun.h), so that
// whatever interrupts a run, the next one finds each row in exactly one
// record.

TKestrel::TMarks::TMarks(TKestrel& owner, TODBCStatement& update, const std::string& table, TJournalRun& journal)
    : FOwner(owner), FUpdate(update), FTable(table), FJournal(journal) {}

TKestrel::TMarks::TCopy TKestrel::TMarks::Read(TODBCStatement& row, const TRowKey& key, DbfHandle file,
                                               const FIELD4INFO* fields, const std::string& path) {
  TCopy copy;
  for (const FIELD4INFO* f = fields; f && f->name; ++f)
    if (d4field(file, f->name)) copy.Texts.push_back({f->name, FieldText(row, *f), f->type == 'C' ? f->len : 0u});
  copy.Key = key;
  copy.Path = path;
  copy.Fields = fields;
  return copy;
}

bool TKestrel::TMarks::Append(TCopy copy, DbfHandle file) {
  FFile = file;
  if (FBatch.empty()) FWriteFailures = d4writeFailures(FFile);
  if (!Write(copy)) {
    // The record is not kept: taken back when it was appended, its row stays
    // unmarked and so do the rest of its group; the next group goes on. One
    // that can't be taken back may be on disk: the run ends.
    const bool takenBack = copy.RecNo <= 0 || d4appendUndo(FFile) == r4success;
    if (FNoteFailed)
      LogNow(Format("Journal %s can't be written (%s); the record of rec_num=%s of %s was not kept and the row stays "
                    "unconverted, run ended",
                    FJournal.Journal().Path(), FJournal.Journal().LastError(), copy.Key.RecNum, FTable));
    else if (takenBack && !FRunEnds)
      LogNow(Format("Could not write a record of %s; rec_num=%s of %s and the rest of its group stay unconverted",
                    copy.Path, copy.Key.RecNum, FTable));
    else
      LogNow(Format("Could not write a record of %s; rec_num=%s of %s stays unconverted, run ended", copy.Path,
                    copy.Key.RecNum, FTable));
    SkipGroup = Settle() && takenBack && !FRunEnds;
    return false;
  }
  FBatch.push_back(std::move(copy));
  ++Appended;
  FOwner.RecordWritten();
  const bool due = FJournal.Due();
  if (static_cast<int>(FBatch.size()) < FOwner.MarkBatchRows && !due) return true;
  if (!Settle()) return false;
  if (due && !FJournal.Commit(FFile)) {
    LogNow(Format("Marks of %s could not be committed; the next run settles them, run ended", FTable));
    return false;
  }
  return true;
}

bool TKestrel::TMarks::Fill(DbfHandle file, const TCopy& copy, const std::string* table) {
  bool stored = true;
  for (const auto& t : copy.Texts) {
    bool overflow = false;
    stored = AssignDbfField(file, t.Name, t.Text, &overflow) && stored;
    if (overflow && table) LogNow(OverflowLine(*table, copy, t.Name, t.Text));
    if (t.CharWidth) KeepLastCharacterWhole(file, t.Name, t.Text, t.CharWidth);
  }
  return stored;
}

bool TKestrel::TMarks::Write(TCopy& copy) {
  d4appendBlank(FFile);
  const bool stored = Fill(FFile, copy, &FTable);
  copy.RecNo = d4recNo(FFile);
  if (copy.RecNo <= 0 || !stored) return false;
  // The record is still in memory: noted first, then written.
  if (!FJournal.Note(FFile, copy.Fields, copy.Key, copy.Path, copy.RecNo, copy.Seq)) {
    d4appendUndo(FFile);
    copy.RecNo = 0;  // taken back already
    FRunEnds = FNoteFailed = true;
    return false;
  }
  // The engine gathers the records of a batch and writes them together,
  // under one lock of the file, when Round flushes them.
  return true;
}

void TKestrel::TMarks::Settled(const TCopy& copy) {
  FJournal.Marked(copy.Seq);
  FOwner.RowSettled();
}

bool TKestrel::TMarks::TakeBackFrom(size_t first) {
  while (FBatch.size() > first) {
    if (d4appendUndo(FFile) != r4success) return false;
    FJournal.Dropped(FBatch.back().Seq);
    --Appended;
    FBatch.pop_back();
  }
  return true;
}

bool TKestrel::TMarks::Settle() {
  FOneByOne = false;
  const size_t most = static_cast<size_t>(std::clamp(FOwner.MarkBatchRows, 1, MaxMarksPerStatement));
  while (!FBatch.empty())
    if (!Round(FOneByOne ? 1 : std::min(FBatch.size(), most))) return false;
  return true;
}

// One statement for the first n records of the batch, and what came of it:
// those settled leave the batch; after a refusal, the records that were
// written again stay in it for the next round. False when the run must end.
bool TKestrel::TMarks::Round(size_t n) {
  // Copies: the batch changes under a refusal.
  const std::string path = FBatch.front().Path;
  const std::string headRecNum = FBatch.front().Key.RecNum;
  const auto records = [&](size_t count) {
    return count == 1 ? Format("record %d", static_cast<int>(FBatch.front().RecNo))
                      : Format("records %d to %d", static_cast<int>(FBatch.front().RecNo),
                               static_cast<int>(FBatch[count - 1].RecNo));
  };
  // Whatever the marks' fate, the records stay for the next run's notes.
  const auto unknown = [&](const std::string& what) {
    LogNow(Format("%s; %s kept in %s, run ended", what, records(FBatch.size()), path));
    return false;
  };
  // Records reach the file before their marks leave. A write of the engine
  // that failed since the batch began (it writes on its own when a batch
  // of appends grows old) lost records whose numbers later ones took: no
  // number of the batch can be trusted, and its notes tell the next run.
  if (d4flush(FFile) != r4success || d4writeFailures(FFile) != FWriteFailures) {
    LogNow(Format("Could not write %s of %s; their rows stay unconverted until the next run settles them, run ended",
                  records(FBatch.size()), path));
    return false;
  }
  const std::string rows =
      n == 1 ? Format("Update of %s rec_num=%s", FTable, headRecNum)
             : Format("Marks of %d rows of %s (rec_num=%s to %s)", static_cast<int>(n), FTable, headRecNum,
                      FBatch[n - 1].Key.RecNum);

  // One request per key: rows an earlier record of their key marked
  // already (in this round, or with an earlier batch) are only read back.
  std::vector<TMarkRequest> requests;
  std::vector<std::string> keys(n);
  std::map<std::string, bool> asked;
  for (size_t i = 0; i < n; ++i) {
    const TCopy& c = FBatch[i];
    keys[i] = c.Key.Text();
    if ((c.Holds == 0 && FSharedKeys.count(keys[i])) || !asked.emplace(keys[i], true).second) continue;
    requests.push_back({&c.Key, c.RecNo, c.Holds});
  }
  TMarkResult result;
  result.Executed = true;
  result.Rows = 0;
  if (!requests.empty()) result = MarkRows(FUpdate, FTable, requests);
  TODBC* odbc = FUpdate.Connection;
  if (!result.Executed) {
    if (!odbc || odbc->ConnectionLost) return unknown(rows + " got no answer (link to the server lost)");
    // A refusal may have cost the whole open transaction (a deadlock does
    // that): the latest accepted mark tells. Then the marks of the batch
    // are gone while their records stay, and only the next run, settling
    // their notes first, can tell them apart from rows still to copy.
    TJournalEntry last;
    if (FJournal.LastMarked(last)) {
      const TReadBack back = ReadRowMark(FUpdate, FTable, last.Key);
      if (back.State == rbLinkLost) return unknown(rows + " got no answer (link to the server lost)");
      if (!(back.State == rbFound && back.Convtd == static_cast<int>(last.RecNo))) {
        FJournal.Refused(false);
        LogNow(Format("Update of %s rec_num=%s failed and took the earlier marks of the batch with it; run ended",
                      FTable, headRecNum));
        return false;
      }
    }
    // A refusal the server gives every row ends the run here: each further
    // row would be copied, refused and taken back again, lines for every
    // row every cycle. The batch's records go.
    if (odbc && RefusedForEveryRow(result, odbc->DriverKind, odbc->ConnectString)) {
      const std::string named = records(FBatch.size());
      const bool gone = TakeBackFrom(0);
      LogNow(Format("Update of %s rec_num=%s refused as it would be for every row (%s. State:  %s, code %d): "
                    "%s; run ended, no row of %s is marked until the server allows it",
                    FTable, headRecNum, result.Message, result.State, static_cast<int>(result.Native),
                    Format(gone ? "%s taken back from %s" : "%s could not be taken back from %s", named, path), FTable));
      return false;
    }
    if (n > 1) {
      FOneByOne = true;  // this round again, a row at a time
      return true;
    }
  }

  // What each row holds now.
  std::vector<TOutcome> outcome(n, oMarked);
  std::vector<bool> unconverted(n, false);
  std::vector<std::int32_t> elsewhere(n, 0);  // the mark someone else gave the row meanwhile
  if (n == 1 && !requests.empty() && result.Rows >= 1) {
    // One row's update says what it did.
    if (result.Rows > 1) {
      FSharedKeys[keys[0]] = static_cast<int>(FBatch.front().RecNo);
      LogNow(Format("Update of %s rec_num=%s marked %d rows (rows share machine and rec_num); record %d kept in %s",
                    FTable, headRecNum, static_cast<int>(result.Rows), static_cast<int>(FBatch.front().RecNo), path));
    }
  } else {
    std::vector<const TRowKey*> named;
    for (size_t i = 0; i < n; ++i) named.push_back(&FBatch[i].Key);
    const TReadBacks back = ReadRowMarks(FUpdate, FTable, named);
    if (back.State == rbLinkLost) return unknown(rows + " got no answer (link to the server lost)");
    if (back.State != rbFound) {
      // An update of one row that ran and changed nothing marked nothing,
      // whatever the read-back says. (A row only read back, its key marked
      // by an earlier record, has no such answer.)
      if (!(n == 1 && !requests.empty() && result.Executed && result.Rows == 0)) {
        if (!result.Executed)
          return unknown(rows + " failed and its mark could not be read back (statement error)");
        return unknown(rows + (n == 1 ? " left its mark unknown" : " left their marks unknown") +
                       " (the read-back failed: statement error)");
      }
      outcome[0] = oRefused;
      unconverted[0] = true;
    } else {
      for (size_t i = 0; i < n; ++i) {
        const TCopy& c = FBatch[i];
        const auto& marks = back.Marks[i];
        const auto own = std::count(marks.begin(), marks.end(), static_cast<std::int32_t>(c.RecNo));
        const auto shared = FSharedKeys.find(keys[i]);
        if (own > 0) {
          if (own > 1) {
            FSharedKeys[keys[i]] = static_cast<int>(c.RecNo);
            LogNow(Format("Update of %s rec_num=%s marked %d rows (rows share machine and rec_num); record %d kept "
                          "in %s",
                          FTable, c.Key.RecNum, static_cast<int>(own), static_cast<int>(c.RecNo), path));
          } else if (n == 1 && (!result.Executed || result.Rows == 0)) {
            LogNow(Format("Update of %s rec_num=%s reported a failure but the row is marked; record %d kept in %s",
                          FTable, c.Key.RecNum, static_cast<int>(c.RecNo), path));
          }
        } else if (shared != FSharedKeys.end() &&
                   std::find(marks.begin(), marks.end(), shared->second) != marks.end()) {
          // An earlier row with the same key took this row's mark with its
          // own: its record is this row's copy all the same.
          outcome[i] = oTwin;
          LogNow(Format("Update of %s rec_num=%s found the row marked %d with the rows it shares its key with; "
                        "record %d kept in %s",
                        FTable, c.Key.RecNum, shared->second, static_cast<int>(c.RecNo), path));
        } else {
          outcome[i] = oRefused;
          unconverted[i] = std::find(marks.begin(), marks.end(), 0) != marks.end();
          for (auto m : marks)
            if (m != 0 && elsewhere[i] == 0) elsewhere[i] = m;
        }
      }
    }
  }

  const size_t f = static_cast<size_t>(std::find(outcome.begin(), outcome.end(), oRefused) - outcome.begin());
  for (size_t i = f; i < n; ++i)
    if (outcome[i] == oRefused && FBatch[i].Holds != 0) {
      // A row whose record moved refused its new number: its old one names
      // another row's record now, and no mark of the batch may stay.
      FJournal.Abandon();
      LogNow(Format("Update of %s rec_num=%s refused the number of its moved record %d in %s; the marks since the "
                    "last commit were rolled back and the next run settles them, run ended",
                    FTable, FBatch[i].Key.RecNum, static_cast<int>(FBatch[i].RecNo), path));
      return false;
    }
  for (size_t i = 0; i < f; ++i) Settled(FBatch[i]);
  // Settled rows leave the batch; outcomes follow the rows still in it.
  FBatch.erase(FBatch.begin(), FBatch.begin() + static_cast<std::ptrdiff_t>(f));
  if (f == n) return true;
  outcome.erase(outcome.begin(), outcome.begin() + static_cast<std::ptrdiff_t>(f));
  unconverted.erase(unconverted.begin(), unconverted.begin() + static_cast<std::ptrdiff_t>(f));
  elsewhere.erase(elsewhere.begin(), elsewhere.begin() + static_cast<std::ptrdiff_t>(f));
  n -= f;

  // A refusal: the refused row's record and all later ones go, and the
  // later ones of rows that are not refused are written again.
  std::vector<TCopy> later = FBatch;
  if (!TakeBackFrom(0)) {
    FJournal.Abandon();
    LogNow(Format("%s failed and record %d could not be taken back from %s; the marks since the last commit were "
                  "rolled back, run ended",
                  Format("Update of %s rec_num=%s", FTable, later.front().Key.RecNum),
                  static_cast<int>(later.front().RecNo), path));
    return false;
  }
  std::vector<std::string> lines;
  for (size_t k = 0; k < later.size(); ++k) {
    TCopy& c = later[k];
    if (k < n && outcome[k] == oRefused) {
      if (unconverted[k]) ++LeftInSet;
      if (elsewhere[k] != 0)
        lines.push_back(Format("Update of %s rec_num=%s found the row already marked %d by someone else; record %d "
                               "taken back from %s",
                               FTable, c.Key.RecNum, static_cast<int>(elsewhere[k]), static_cast<int>(c.RecNo), path));
      else if (result.Executed)
        lines.push_back(Format("Update of %s rec_num=%s changed no row; record %d taken back from %s", FTable,
                               c.Key.RecNum, static_cast<int>(c.RecNo), path));
      else
        lines.push_back(Format("Update of %s rec_num=%s failed; record %d taken back from %s", FTable, c.Key.RecNum,
                               static_cast<int>(c.RecNo), path));
      continue;
    }
    // A row this round marked holds its old number until the next round
    // corrects it; one marked by its twin follows the twin's mark.
    if (k < n && outcome[k] == oMarked) c.Holds = static_cast<std::int32_t>(c.RecNo);
    const long old = c.RecNo;
    if (!Write(c)) {
      FJournal.Abandon();
      LogNow(Format("Record %d of %s (rec_num=%s) could not be written again after a refusal; the marks since the last "
                    "commit were rolled back and the next run settles them, run ended",
                    static_cast<int>(old), path, c.Key.RecNum));
      return false;
    }
    FBatch.push_back(std::move(c));
    ++Appended;
  }
  for (const auto& line : lines) {
    LogNow(line);
    FOwner.RowSettled();
  }
  return true;
}

bool TKestrel::TMarks::Finish() { return Settle(); }

namespace {

// The line naming a row that can't be named in SQL and so stays unconverted.
std::string LeftRowLine(TODBCStatement& row, const std::string& table, const TRowKey& key, TRowKeyState state) {
  const std::string where = Format("Row of %s with machine %s, dat_e %s, tim_e %s", table,
                                   key.MachineNull ? std::string("NULL") : key.MachineValue,
                                   row.FieldAsString("dat_e"), row.FieldAsString("tim_e"));
  if (state == rkNoRecNum) return where + " has no rec_num; it can't be marked and stays unconverted";
  return where + ", rec_num " + key.RecNum + ": the machine is no file number; it stays unconverted";
}

}  // namespace

void TKestrel::ConvertTables(bool Weight) {
  Busy = true;
  struct ClearBusy {
    std::atomic<bool>& Flag;
    ~ClearBusy() { Flag = false; }
  } clearBusy{Busy};

  const std::string sep(1, platform::PathDelim);
  const std::string root = ShareRootPath();
  const std::string table = Weight ? "weight" : "action";
  const std::string outDir = root + "netw" + sep + table + sep;
  const std::string templateFile = root + "netw" + sep + (Weight ? "gstru.dbf" : "astru.dbf");

  // One converter at a time does anything with the table (ConverterLock.h).
  TConverterLock lock(MainOdbc.get());
  if (!lock.Take(table, outDir, platform::ExtractFileDir(JournalPath(table)))) {
    FLastConverted = 0;
    FLastSkippedFor = lock.Holder;
    return;
  }
  FLastSkippedFor.clear();

  // What an interrupted run left is settled before anything is selected.
  TJournal journal(JournalPath(table));
  struct TNoteFailures {
    std::string& Problem;
    const TJournal& Journal;
    ~TNoteFailures() {
      if (Problem.empty() && !Journal.LastError().empty())
        Problem = "The journal " + Journal.Path() + " can't be written (" + Journal.LastError() + ")";
    }
  } noteFailures{FJournalProblem, journal};
  if (!ResolveJournal(journal, table)) return;

  TRun run;
  run.Update = std::make_unique<TODBCStatement>(MainOdbc.get(), false, false);
  run.Select = std::make_unique<TODBCStatement>(MainOdbc.get(), true, false);
  TODBCStatement& select = *run.Select;
  // The unconverted rows are taken in slices of the one ordered selection,
  // so that a backlog of any size costs the memory of one slice (a driver's
  // cursor may hold its whole result). Rows converted meanwhile have left
  // the selection; rows this run left unconverted are still in it, all
  // before the next slice, and are skipped by count.
  const int sliceRows = std::max(1, SliceRows);
  int leftBehind = 0;
  const auto selectSlice = [&] {
    return select.ExecSQLFmt(
        "select * from %s where ifnull(convtd,0)=0 order by machine,dat_e,tim_e,rec_num limit %d offset %d", table,
        sliceRows, leftBehind);
  };
  bool haveRow = selectSlice();
  if (!haveRow) {
    FLastConverted = select.Eof ? 0 : -1;
    return;
  }

  LogNow(Format("Found %s records to convert...", table));
  run.Code = code4initP();
  code4singleOpen(run.Code, 0);
  code4safety(run.Code, 0);
  code4errFieldName(run.Code, 0);
  // A damaged or missing index is rebuilt with the template's tags, and a
  // stop request ends any wait for a file held by another program.
  code4indexTemplate(run.Code, templateFile.c_str());
  code4setCancel(run.Code, [this] { return StopRequested.load(); });

  TJournalRun journalRun(journal, *MainOdbc);
  if (!journalRun.Begin()) {
    LogNow(Format("Marks of %s can't be held in a transaction; run ended", table));
    run.StopLibrary();
    LogNow("Converted 0 records");
    return;
  }
  TMarks marks(*this, *run.Update, table, journalRun);
  // Files this run made: one it leaves without a record (every row of it
  // refused) is not left behind on the share.
  std::vector<std::string> created;
  int currentMachine = -99;
  const TDateTime noDate = Today() - 9999;
  TDateTime currentDate = noDate;
  int rowsInSlice = 0;
  const auto nextRow = [&] {
    ++rowsInSlice;
    if (select.Skip(sdNext, 1)) return true;
    if (rowsInSlice < sliceRows) return false;  // the last slice
    // Marks decide what the next slice holds: all are settled first.
    if (!marks.Finish()) return false;
    leftBehind += marks.LeftInSet;
    marks.LeftInSet = 0;
    rowsInSlice = 0;
    return selectSlice();
  };
  bool skipGroup = false;  // the rest of the current group waits for the next run
  while (haveRow && !StopRequested) {
    TRowKey key;
    const TRowKeyState keyState = ReadRowKey(select, key);
    if (keyState != rkNamed) {
      LogNow(LeftRowLine(select, table, key, keyState));
      ++leftBehind;
      haveRow = nextRow();
      continue;
    }
    const int machine = key.Machine;
    if (machine != currentMachine) {
      currentMachine = machine;
      currentDate = noDate;
    }
    const TDateTime date = select.FieldAsDateTime("dat_e");
    if (date != currentDate) {
      currentDate = date;
      skipGroup = false;
      // The last mark of the group is settled while its file is open.
      if (!marks.Finish()) break;
      if (!run.FilePath.empty()) journalRun.Closed(run.FilePath, run.File != nullptr);
      run.CloseFile();
      run.FilePath = outDir + MakeDbfName(date, machine);
      LogNow(Format("Working on %s", run.FilePath));
      // Noted before the file is created or opened, so that the next start
      // checks a file this run may leave half written.
      if (!journalRun.Opened(run.FilePath)) {
        LogNow(Format("Journal %s can't be written (%s); run ended", journal.Path(), journal.LastError()));
        run.FilePath.clear();
        break;
      }
      // A file that is there may hold records: salvaged, never made again
      // in place.
      if (DbfNeedsCreating(run.FilePath)) {
        if (!SalvageDbf(run.Code, run.FilePath, templateFile)) {
          journalRun.Created(run.FilePath);  // made whole again beside its old self
        } else if (CreateDbfLike(run.Code, templateFile, run.FilePath)) {
          journalRun.Created(run.FilePath);
          created.push_back(run.FilePath);
          LogNow("Created new .dbf: " + run.FilePath);
        } else {
          LogNow(Format("Could not create %s from the template %s", run.FilePath, templateFile));
        }
      }
      run.File = OpenDbf(run.Code, run.FilePath, "");
      LogNow(Format("mopen %s - %s", run.FilePath, run.File ? "Ok..." : "Error!"));
      if (run.File) run.Fields = d4fieldInfo(run.File);
    }
    if (!run.File || skipGroup) {
      ++leftBehind;
    } else if (!marks.Append(TMarks::Read(select, key, run.File, run.Fields, run.FilePath), run.File)) {
      if (!marks.SkipGroup) break;
      marks.SkipGroup = false;
      skipGroup = true;
      ++leftBehind;  // the row whose record was not kept
    }
    ReportProgress(table, marks.Appended);
    haveRow = nextRow();
  }
  marks.Finish();
  const int count = marks.Appended;
  FLastConverted = count;
  marks.Detach();
  if (!run.FilePath.empty()) journalRun.Closed(run.FilePath, run.File != nullptr);
  run.StopLibrary();
  if (!journalRun.End()) {
    if (!(MainOdbc && MainOdbc->ConnectionLost))
      LogNow(Format("Marks of %s could not be committed; the next run settles them", table));
  } else {
    // Only once the journal is settled: it no longer names these files.
    for (const auto& path : created)
      if (RemoveDbfWithoutRecords(path)) LogNow(Format("Removed %s again: it holds no record", path));
  }
  LogNow(Format("Converted %d records", count));
}

}  // namespace tidewell
