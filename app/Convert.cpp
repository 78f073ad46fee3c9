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
#include "app/Marks.h"
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

CodeHandle StartLibrary(const std::string& indexTemplate, bool reportOpenFailures) {
  RouteLibraryReports();
  CodeHandle code = code4initP();
  code4singleOpen(code, 0);
  code4safety(code, 0);
  code4errFieldName(code, 0);
  if (!reportOpenFailures) code4errOpen(code, 0);
  code4indexTemplate(code, indexTemplate.c_str());
  return code;
}

void StopLibrary(CodeHandle code) {
  if (!code) return;
  code4close(code);
  code4initUndoP(code);
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
    tidewell::StopLibrary(Code);
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
std::string TMarks::OverflowLine(const std::string& table, const TCopy& copy, const std::string& field,
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

TMarks::TCopy TMarks::Read(TODBCStatement& row, const TRowKey& key, DbfHandle file, const FIELD4INFO* fields,
                           const std::string& path) {
  TCopy copy;
  for (const FIELD4INFO* f = fields; f && f->name; ++f)
    if (d4field(file, f->name)) copy.Texts.push_back({f->name, FieldText(row, *f)});
  copy.Key = key;
  copy.Path = path;
  copy.Fields = fields;
  return copy;
}

bool TMarks::Fill(DbfHandle file, const TCopy& copy, const std::string* table) {
  bool stored = true;
  for (const auto& t : copy.Texts) {
    bool overflow = false;
    stored = AssignDbfField(file, t.Name, t.Text, &overflow) && stored;
    if (overflow && table) LogNow(OverflowLine(*table, copy, t.Name, t.Text));
  }
  return stored;
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
  // A cycle holds Busy raised for its whole length; a run outside a cycle
  // raises it for itself. Either way it is cleared by whoever raised it.
  struct ClearBusy {
    std::atomic<bool>& Flag;
    bool Raised;
    ~ClearBusy() {
      if (Raised) Flag = false;
    }
  } clearBusy{Busy, !Busy.exchange(true)};

  const std::string sep(1, platform::PathDelim);
  const std::string root = ShareRootPath();
  const std::string table = Weight ? "weight" : "action";
  const std::string outDir = root + "netw" + sep + table + sep;
  const std::string templateFile = root + "netw" + sep + (Weight ? "gstru.dbf" : "astru.dbf");

  // One converter at a time does anything with the table (ConverterLock.h).
  TConverterLock lock(MainOdbc.get());
  FLastRowsMarked = 0;
  if (!lock.Take(table, outDir, platform::ExtractFileDir(JournalPath(table)))) {
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
    FLastRowsMarked = select.Eof ? 0 : -1;
    return;
  }

  LogNow(Format("Found %s records to convert...", table));
  run.Code = StartLibrary(templateFile, true);
  // A stop request ends any wait for a file held by another program.
  code4setCancel(run.Code, [this] { return StopRequested.load(); });

  TJournalRun journalRun(journal, *MainOdbc);
  if (!journalRun.Begin()) {
    LogNow(Format("Marks of %s can't be held in a transaction; run ended", table));
    run.StopLibrary();
    LogNow("Converted 0 records");
    return;
  }
  TMarks marks(*run.Update, table, journalRun,
               {MarkBatchRows, [this] { RecordWritten(); }, [this] { RowSettled(); }});
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
    ReportProgress(table, FLastRowsMarked + journalRun.MarksCommitted());
    haveRow = nextRow();
  }
  marks.Finish();
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
  FLastRowsMarked += journalRun.MarksCommitted();
  // The records this run wrote and kept; a row whose mark was rolled back
  // is among them (its record is its copy once the next run settles it).
  LogNow(Format("Converted %d records", marks.RecordsKept));
}

}  // namespace tidewell
