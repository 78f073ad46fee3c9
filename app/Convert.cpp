// The conversion of one cycle: every unconverted row of one source table is
// appended to the .dbf file of its machine and day and then marked with the
// record number of its copy.
#include <memory>

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

// Appends the current row to the open file and marks it. The record, its
// memo and its index keys are on disk before the mark is written, so a crash
// between the two can never leave a row marked whose copy is missing.
TKestrel::TAppendOutcome TKestrel::AppendAndMark(TODBCStatement& row, TODBCStatement& update,
                                                 const std::string& table, int machine, DbfHandle file,
                                                 const FIELD4INFO* fields, const std::string& path) {
  d4appendBlank(file);
  for (const FIELD4INFO* f = fields; f && f->name; ++f) {
    if (!d4field(file, f->name)) continue;
    AssignDbfField(file, f->name, FieldText(row, *f));
  }
  const long recNo = d4recNo(file);
  const std::string recNum = row.FieldAsString("rec_num");
  if (d4flush(file) != r4success) {
    // The copy may not be on disk: leave the row unmarked so a later run
    // takes it again, and stop before anything else is built on this file.
    LogNow(Format("Could not write record %d of %s; rec_num=%s of %s stays unconverted, run ended",
                  static_cast<int>(recNo), path, recNum, table));
    return aoStop;
  }
  std::string condition = Format("machine=%d", machine);
  if (machine == 0) condition = "(" + condition + " or machine is null)";
  if (update.ExecSQLFmt("update %s set convtd=%d where %s and rec_num=%s", table, static_cast<int>(recNo),
                        condition, recNum))
    return aoMarked;

  // The update failed. Whether the mark was committed is known only to the
  // server: ask it, on the same connection, before touching the file.
  const TMarkState mark = ReadMark(update, table, condition, recNum, recNo);
  if (mark == msMarked) {
    LogNow(Format("Update of %s rec_num=%s reported a failure but the row is marked; record %d kept in %s", table,
                  recNum, static_cast<int>(recNo), path));
    return aoMarked;
  }
  if (mark == msUnknown) {
    // The server may have committed the mark before the answer was lost:
    // taking the record back could lose a converted row. Keep it, say which,
    // and leave the rest for the next cycle's new connection.
    LogNow(Format("Update of %s rec_num=%s got no answer (link to the server lost); record %d kept in %s, run ended",
                  table, recNum, static_cast<int>(recNo), path));
    return aoStop;
  }
  // The server is there and nothing was marked: the copy goes, and the row
  // is taken again by a later run.
  if (d4appendUndo(file) == r4success) {
    LogNow(Format("Update of %s rec_num=%s failed; record %d taken back from %s", table, recNum,
                  static_cast<int>(recNo), path));
    return aoTakenBack;
  }
  LogNow(Format("Update of %s rec_num=%s failed and record %d could not be taken back from %s; run ended", table,
                recNum, static_cast<int>(recNo), path));
  return aoStop;
}

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

  int count = 0;
  LogNow(Format("Found %s records to convert...", table));
  run.Code = code4initP();
  code4singleOpen(run.Code, 0);
  code4safety(run.Code, 0);
  code4errFieldName(run.Code, 0);

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
    if (run.File) {
      const TAppendOutcome outcome =
          AppendAndMark(select, *run.Update, table, machine, run.File, run.Fields, run.FilePath);
      if (outcome == aoMarked) ++count;
      if (outcome == aoStop) {
        ++count;  // the record stays in the file
        break;
      }
    }
    haveRow = select.Skip(sdNext, 1);
  }
  run.StopLibrary();
  LogNow(Format("Converted %d records", count));
}

}  // namespace tidewell
