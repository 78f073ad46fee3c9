// The conversion of one cycle: every unconverted row of one source table is
// appended to the .dbf file of its machine and day and then marked with the
// record number of its copy.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

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

// Longest text a field receives, memo fields included.
constexpr size_t MaxFieldText = 254;

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

// The text a field receives from the current row: dates as YYYYMMDD,
// logicals as T or F, everything else trimmed; at most 254 characters.
std::string FieldText(TODBCStatement& row, const FIELD4INFO& field) {
  const std::string name = field.name;
  std::string text;
  switch (field.type) {
    case 'D':
      text = FormatDateTime("YYYYMMDD", row.FieldAsDateTime(name));
      break;
    case 'L':
      text.assign(1, row.FieldAsBoolean(name) ? 'T' : 'F');
      break;
    default:
      text = Trim(row.FieldAsString(name));
      break;
  }
  if (text.size() > MaxFieldText) text.resize(MaxFieldText);
  return text;
}

}  // namespace

std::string TKestrel::ShareRootPath() const { return ShareRootOverride.empty() ? std::string(ShareRoot) : ShareRootOverride; }

// ---- the append-then-mark step ---------------------------------------------
//
// Every row becomes one record, and the record's number becomes the row's
// mark. A record (with its memo) is written before its mark is sent, so a
// crash between the two never leaves a row marked whose copy is missing.
// The mark of one row travels to the server while the next row's record is
// being written; that record is not kept until the earlier mark is known:
//  - marked: both stay;
//  - refused while the server is there (it says the row is unmarked): the
//    newer record and the earlier one are taken back and the newer one is
//    written again, so the file reads as if the refused row had never been
//    copied and the newer record has the number the refused one had;
//  - unknown (the link is gone): the earlier record stays, because its
//    mark may have been committed; the newer one, whose mark was never
//    sent, is taken back; the run ends.

TKestrel::TMarks::TMarks(TKestrel& owner, TODBCStatement& update, const std::string& table)
    : FOwner(owner), FUpdate(update), FTable(table) {}

TKestrel::TMarks::~TMarks() {
  // An exception may leave a record whose mark was never sent: it goes, so
  // the next run copies its row once. A mark in flight is waited for.
  if (FPending) FUpdate.FinishExecSQL();
  if (FUnsent && FFile) d4appendUndo(FFile);
}

bool TKestrel::TMarks::Append(TODBCStatement& row, int machine, DbfHandle file, const FIELD4INFO* fields,
                              const std::string& path) {
  TCopy copy;
  for (const FIELD4INFO* f = fields; f && f->name; ++f)
    if (d4field(file, f->name)) copy.Texts.emplace_back(f->name, FieldText(row, *f));
  copy.RecNum = row.FieldAsString("rec_num");
  copy.Condition = Format("machine=%d", machine);
  if (machine == 0) copy.Condition = "(" + copy.Condition + " or machine is null)";
  copy.Path = path;
  FFile = file;
  if (!Write(copy)) {
    // The copy may not be on disk: its row stays unmarked and the run ends.
    LogNow(Format("Could not write a record of %s; rec_num=%s of %s stays unconverted, run ended", path, copy.RecNum,
                  FTable));
    Settle();
    return false;
  }
  FUnsent = std::move(copy);
  ++Appended;
  if (!Settle()) return false;
  // The earlier mark is known: this one goes out.
  FPending = std::move(FUnsent);
  FUnsent.reset();
  FUpdate.StartExecSQL(Format("update %s set convtd=%d where %s and rec_num=%s", FTable,
                              static_cast<int>(FPending->RecNo), FPending->Condition, FPending->RecNum));
  return true;
}

bool TKestrel::TMarks::Write(TCopy& copy) {
  d4appendBlank(FFile);
  for (const auto& [name, text] : copy.Texts) AssignDbfField(FFile, name, text);
  copy.RecNo = d4recNo(FFile);
  return copy.RecNo > 0 && d4flush(FFile) == r4success;
}

bool TKestrel::TMarks::Settle() {
  if (!FPending) return true;
  TCopy done = std::move(*FPending);
  FPending.reset();
  const bool marked = FUpdate.FinishExecSQL();
  const TMarkState mark = marked ? msMarked : FOwner.ReadMark(FUpdate, FTable, done.Condition, done.RecNum, done.RecNo);
  FOwner.RowSettled();
  if (mark == msMarked) {
    if (!marked)
      LogNow(Format("Update of %s rec_num=%s reported a failure but the row is marked; record %d kept in %s", FTable,
                    done.RecNum, static_cast<int>(done.RecNo), done.Path));
    return true;
  }
  if (mark == msUnknown) {
    LogNow(Format("Update of %s rec_num=%s got no answer (link to the server lost); record %d kept in %s, run ended",
                  FTable, done.RecNum, static_cast<int>(done.RecNo), done.Path));
    if (FUnsent) {
      if (d4appendUndo(FFile) == r4success) {
        --Appended;
      } else {
        LogNow(Format("Record %d of %s (rec_num=%s) could not be taken back; its row stays unconverted",
                      static_cast<int>(FUnsent->RecNo), FUnsent->Path, FUnsent->RecNum));
      }
      FUnsent.reset();
    }
    return false;
  }
  // Refused, and nothing was marked: the refused row's record goes.
  const bool newer = FUnsent.has_value();
  bool ok = !newer || d4appendUndo(FFile) == r4success;
  ok = ok && d4appendUndo(FFile) == r4success;
  if (ok && newer) ok = Write(*FUnsent);
  if (!ok) {
    LogNow(Format("Update of %s rec_num=%s failed and record %d could not be taken back from %s; run ended", FTable,
                  done.RecNum, static_cast<int>(done.RecNo), done.Path));
    if (newer) FUnsent.reset();
    return false;
  }
  --Appended;
  LogNow(Format("Update of %s rec_num=%s failed; record %d taken back from %s", FTable, done.RecNum,
                static_cast<int>(done.RecNo), done.Path));
  return true;
}

bool TKestrel::TMarks::Finish() { return Settle(); }

// Reads back the mark of the row whose update failed.
TKestrel::TMarkState TKestrel::ReadMark(TODBCStatement& statement, const std::string& table,
                                        const std::string& condition, const std::string& recNum, long recNo) {
  if (!MainOdbc || MainOdbc->ConnectionLost) return msUnknown;
  if (!statement.ExecSQLFmt("select convtd from %s where %s and rec_num=%s", table, condition, recNum))
    // No row (it was deleted meanwhile) is an answer; a failure is not.
    return statement.Eof && !MainOdbc->ConnectionLost ? msUnmarked : msUnknown;
  return statement.FieldAsInteger("convtd") == recNo ? msMarked : msUnmarked;
}

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

  TRun run;
  run.Update = std::make_unique<TODBCStatement>(MainOdbc.get(), false, false);
  run.Select = std::make_unique<TODBCStatement>(MainOdbc.get(), true, false);
  TODBCStatement& select = *run.Select;
  bool haveRow =
      select.ExecSQLFmt("select * from %s where ifnull(convtd,0)=0 order by machine,dat_e,tim_e,rec_num", table);
  if (!haveRow) return;

  LogNow(Format("Found %s records to convert...", table));
  run.Code = code4initP();
  code4singleOpen(run.Code, 0);
  code4safety(run.Code, 0);
  code4errFieldName(run.Code, 0);

  TMarks marks(*this, *run.Update, table);
  int currentMachine = -99;
  const TDateTime noDate = Today() - 9999;
  TDateTime currentDate = noDate;
  while (haveRow && !StopRequested) {
    const int machine = select.FieldAsInteger("machine");
    if (machine != currentMachine) {
      currentMachine = machine;
      currentDate = noDate;
    }
    const TDateTime date = select.FieldAsDateTime("dat_e");
    if (date != currentDate) {
      currentDate = date;
      // The last mark of the group is settled while its file is open.
      if (!marks.Finish()) break;
      run.CloseFile();
      run.FilePath = outDir + MakeDbfName(date, machine);
      LogNow(Format("Working on %s", run.FilePath));
      if (!platform::FileExists(run.FilePath)) {
        CreateDbfLike(run.Code, templateFile, run.FilePath);
        LogNow("Created new .dbf: " + run.FilePath);
      }
      run.File = OpenDbf(run.Code, run.FilePath, "");
      LogNow(Format("mopen %s - %s", run.FilePath, run.File ? "Ok..." : "Error!"));
      if (run.File) run.Fields = d4fieldInfo(run.File);
    }
    if (run.File && !marks.Append(select, machine, run.File, run.Fields, run.FilePath)) break;
    haveRow = select.Skip(sdNext, 1);
  }
  marks.Finish();
  const int count = marks.Appended;
  marks.Detach();
  run.StopLibrary();
  LogNow(Format("Converted %d records", count));
}

}  // namespace tidewell
