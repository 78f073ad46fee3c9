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
// mark. A record (with its memo) is written before its mark is sent, so a
// crash between the two never leaves a row marked whose copy is missing.
// The mark of one row travels to the server while the next row's record is
// being written: the next row is fetched and read whole first, because the
// connection must never be called from two threads at once. That record is
// not kept until the earlier mark is known:
//  - marked: both stay;
//  - refused while the server is there (the update failed, or changed no
//    row, and the row does not hold this record's number: it is gone, or
//    someone else marked it meanwhile, for the mark only takes a row still
//    unconverted): the newer record and the earlier one
//    are taken back and the newer one is written again, so the file reads as
//    if the refused row had never been copied and the newer record has the
//    number the refused one had;
//  - unknown (the link is gone, or the mark can't be read back): the earlier
//    record stays, because its mark may have been committed; the newer one,
//    whose mark was never sent, is taken back; the run ends.
// Each record is noted in the table's journal before it reaches the file,
// and the marks are committed in batches once the journal and the files
// are on disk (JournalRun.h), so that whatever interrupts a run, the next
// one finds each row in exactly one record.

std::string TKestrel::TMarks::KeyText(const TRowKey& key) {
  std::string text = key.Condition();
  for (const auto& p : key.Params()) text += '\0' + p;
  return text;
}

TKestrel::TMarks::TMarks(TKestrel& owner, TODBCStatement& update, const std::string& table, TJournalRun& journal)
    : FOwner(owner), FUpdate(update), FTable(table), FJournal(journal) {}

TKestrel::TMarks::~TMarks() {
  // An exception may leave a record whose mark was never sent: it goes, so
  // the next run copies its row once. A mark in flight is waited for.
  if (FPending) FUpdate.FinishExecSQL();
  if (FUnsent && FFile) d4appendUndo(FFile);
}

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

void TKestrel::TMarks::Send() {
  FPending = std::move(FUnsent);
  FUnsent.reset();
  StartMark(FUpdate, FTable, FPending->Key, FPending->RecNo);
}

bool TKestrel::TMarks::Append(TCopy copy, DbfHandle file) {
  FFile = file;
  if (FUnsent) Send();
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
  FUnsent = std::move(copy);
  ++Appended;
  if (!Settle()) return false;
  // No mark is in flight here: a batch that is old enough is committed.
  if (FJournal.Due() && !FJournal.Commit(FFile)) {
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
  return d4flush(FFile) == r4success;
}

bool TKestrel::TMarks::Settle() {
  if (!FPending) return true;
  TCopy done = std::move(*FPending);
  FPending.reset();
  const TMarkResult result = FinishMark(FUpdate);
  const int recNo = static_cast<int>(done.RecNo);
  const std::string& recNum = done.Key.RecNum;
  enum { marked, refused, unknown } mark = marked;
  bool stillUnconverted = false;
  int markedElsewhere = 0;  // the mark another converter gave the row meanwhile
  if (!result.Executed || result.Rows <= 0) {
    // The server says the row was not marked, or says nothing: what the row
    // holds now decides. The mark only takes an unconverted row, so a row
    // holding another number was marked by someone else in the meantime.
    const TReadBack back = ReadRowMark(FUpdate, FTable, done.Key);
    const auto twin = FSharedKeys.find(KeyText(done.Key));
    if (back.State == rbFound && back.Convtd == recNo) {
      mark = marked;
    } else if (back.State == rbFound && twin != FSharedKeys.end() && twin->second == back.Convtd) {
      // An earlier row of this run with the same key took this row's mark
      // with its own: its record is this row's copy all the same.
      mark = marked;
      LogNow(Format("Update of %s rec_num=%s found the row marked %d with the rows it shares its key with; record %d "
                    "kept in %s",
                    FTable, recNum, static_cast<int>(back.Convtd), recNo, done.Path));
    } else if (back.State == rbFound || back.State == rbGone || (back.State == rbFailed && result.Executed)) {
      // An update that ran and changed nothing marked nothing, whatever the
      // read-back says.
      mark = refused;
      stillUnconverted = back.State != rbGone && (back.State != rbFound || back.Convtd == 0);
      if (back.State == rbFound) markedElsewhere = back.Convtd;
    } else {
      mark = unknown;
    }
    if (mark == unknown && back.State == rbFailed)
      LogNow(Format("Update of %s rec_num=%s failed and its mark could not be read back (statement error); "
                    "record %d kept in %s, run ended",
                    FTable, recNum, recNo, done.Path));
    else if (mark == unknown)
      LogNow(Format("Update of %s rec_num=%s got no answer (link to the server lost); record %d kept in %s, run ended",
                    FTable, recNum, recNo, done.Path));
    else if (mark == marked && back.Convtd == recNo && (!result.Executed || result.Rows == 0))
      LogNow(Format("Update of %s rec_num=%s reported a failure but the row is marked; record %d kept in %s", FTable,
                    recNum, recNo, done.Path));
  } else if (result.Rows > 1) {
    FSharedKeys[KeyText(done.Key)] = recNo;
    LogNow(Format("Update of %s rec_num=%s marked %d rows (rows share machine and rec_num); record %d kept in %s",
                  FTable, recNum, static_cast<int>(result.Rows), recNo, done.Path));
  }
  if (mark == marked) FJournal.Marked(done.Seq);
  FOwner.RowSettled();
  if (mark == marked) return true;
  if (mark == unknown) {
    if (FUnsent) {
      if (d4appendUndo(FFile) == r4success) {
        --Appended;
      } else {
        LogNow(Format("Record %d of %s (rec_num=%s) could not be taken back; its row stays unconverted",
                      static_cast<int>(FUnsent->RecNo), FUnsent->Path, FUnsent->Key.RecNum));
      }
      FUnsent.reset();
    }
    return false;
  }
  // Refused, and nothing was marked: the refused row's record goes.
  if (stillUnconverted) ++LeftInSet;
  // A refusal may have cost the whole open transaction (a deadlock does
  // that): the latest accepted mark tells. Then the marks of the batch are
  // gone while their records stay, and only the next run, settling their
  // notes first, can tell them apart from rows still to copy.
  TJournalEntry last;
  if (FJournal.LastMarked(last)) {
    const TReadBack back = ReadRowMark(FUpdate, FTable, last.Key);
    if (!(back.State == rbFound && back.Convtd == static_cast<int>(last.RecNo))) {
      FJournal.Refused(false);
      LogNow(Format("Update of %s rec_num=%s failed and took the earlier marks of the batch with it; run ended", FTable,
                    recNum));
      if (FUnsent) {
        if (d4appendUndo(FFile) == r4success) --Appended;
        FUnsent.reset();
      }
      return false;
    }
  }
  const bool newer = FUnsent.has_value();
  // A refusal the server gives every row ends the run here: each further
  // row would be copied, refused and taken back again, two log lines a row
  // every cycle. Both records go, the newer one is not written again.
  if (TODBC* odbc = FUpdate.Connection; odbc && RefusedForEveryRow(result, odbc->DriverKind, odbc->ConnectString)) {
    bool gone = !newer || d4appendUndo(FFile) == r4success;
    if (gone && newer) {
      FJournal.Dropped(FUnsent->Seq);
      --Appended;
    }
    gone = gone && d4appendUndo(FFile) == r4success;
    if (gone) {
      FJournal.Dropped(done.Seq);
      --Appended;
    }
    if (newer) FUnsent.reset();
    LogNow(Format("Update of %s rec_num=%s refused as it would be for every row (%s. State:  %s, code %d): "
                  "%s; run ended, no row of %s is marked until the server allows it",
                  FTable, recNum, result.Message, result.State, static_cast<int>(result.Native),
                  gone ? Format("record %d taken back from %s", recNo, done.Path)
                       : Format("record %d could not be taken back from %s", recNo, done.Path),
                  FTable));
    return false;
  }
  bool ok = !newer || d4appendUndo(FFile) == r4success;
  ok = ok && d4appendUndo(FFile) == r4success;
  if (ok) {
    FJournal.Dropped(done.Seq);
    if (newer) FJournal.Dropped(FUnsent->Seq);
  }
  if (ok && newer) ok = Write(*FUnsent);
  if (!ok) {
    LogNow(Format("Update of %s rec_num=%s failed and record %d could not be taken back from %s; run ended", FTable,
                  recNum, recNo, done.Path));
    if (newer) FUnsent.reset();
    return false;
  }
  --Appended;
  if (markedElsewhere != 0)
    LogNow(Format("Update of %s rec_num=%s found the row already marked %d by someone else; record %d taken back "
                  "from %s",
                  FTable, recNum, markedElsewhere, recNo, done.Path));
  else if (result.Executed)
    LogNow(Format("Update of %s rec_num=%s changed no row; record %d taken back from %s", FTable, recNum, recNo,
                  done.Path));
  else
    LogNow(Format("Update of %s rec_num=%s failed; record %d taken back from %s", FTable, recNum, recNo, done.Path));
  return true;
}

bool TKestrel::TMarks::Finish() {
  if (FUnsent) Send();
  return Settle();
}

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
