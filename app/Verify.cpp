// tidewell -VERIFY: every mark of a range compared with every record of the
// day files (see Verify.h for what is reported and why).
#include "app/Verify.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "app/FieldText.h"
#include "app/Journal.h"
#include "app/RowKey.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "common/Text.h"
#include "dbf/mycbase.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/System.h"
#include "xbase/error_sink.h"
#include "xbase/table.h"

namespace tidewell {

// ---- the command line ---------------------------------------------------------

namespace {

// Days a range may span: file names hold two-digit years, so a longer range
// would meet the same file name twice.
constexpr int MaxRangeDays = 36500;

bool ParseDay(const std::string& text, TDateTime& day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  const int year = std::stoi(text.substr(0, 4)), month = std::stoi(text.substr(5, 2)),
            dayOfMonth = std::stoi(text.substr(8, 2));
  return year >= 1 && TryEncodeDate(year, month, dayOfMonth, day);
}

std::string DayText(TDateTime day) { return FormatDateTime("YYYY-MM-dd", day); }

}  // namespace

bool ParseVerifyArgs(const std::vector<std::string>& args, TDateTime today, TVerifyRequest& request,
                     std::string& error) {
  request = TVerifyRequest{};
  std::vector<TDateTime> days;
  bool tableGiven = false;
  for (const std::string& a : args) {
    if (a.size() > 1 && (a[0] == '-' || a[0] == '/')) {
      const std::string name = a.substr(1);
      if (SameText(name, "VERIFY")) continue;
      if (SameText(name, "REPAIR")) {
        request.Repair = true;
        continue;
      }
      error = "-VERIFY: unknown switch " + a + " (only -REPAIR goes with it)";
      return false;
    }
    if (SameText(a, "weight") || SameText(a, "action")) {
      if (tableGiven || !days.empty()) {
        error = "-VERIFY: the table comes once, before the dates: " + a;
        return false;
      }
      tableGiven = true;
      request.Tables = {LowerCase(a)};
      continue;
    }
    TDateTime day = 0;
    if (!ParseDay(a, day)) {
      error = "-VERIFY: " + a + " is neither weight, action nor a date YYYY-MM-DD";
      return false;
    }
    if (days.size() == 2) {
      error = "-VERIFY: at most two dates, FROM and TO: " + a;
      return false;
    }
    days.push_back(day);
  }
  request.To = days.size() == 2 ? days[1] : DateOf(today);
  request.From = days.empty() ? DateOf(today) - 6 : days[0];
  if (request.From > request.To) {
    error = "-VERIFY: FROM " + DayText(request.From) + " comes after TO " + DayText(request.To);
    return false;
  }
  if (request.To - request.From >= MaxRangeDays) {
    error = "-VERIFY: a range of at most 100 years (file names hold two-digit years)";
    return false;
  }
  return true;
}

std::string SummaryText(const TVerifyCounts& c) {
  std::string text = Format(
      "%d files, %d rows marked, %d records; %d missing, %d holding another row, %d with other values, "
      "%d marked by no row, %d marked by two rows",
      c.Files, c.Rows, c.Records, c.Missing, c.OtherRow, c.Different, c.Unmarked, c.Shared);
  if (c.Awaiting) text += Format("; %d awaiting their mark", c.Awaiting);
  if (c.Unreadable) text += Format("; %d could not be read", c.Unreadable);
  if (c.Cleared) text += Format("; %d marks cleared", c.Cleared);
  return text;
}

// ---- one table ------------------------------------------------------------------

namespace {

void LogNow(const std::string& text) {
  if (MainLog) MainLog->Flush(text);
}

// What the engine says about a file while it is read.
class TCollectSink : public xbase::ErrorSink {
 public:
  void Report(const std::string& problem) override { Lines.push_back(problem); }
  std::vector<std::string> Lines;
};

// A value for a report line: on one line, and a long memo shortened.
std::string Shown(const std::string& value) {
  std::string text;
  for (char c : value) text += IsBlankOrControl(c) && c != ' ' ? ' ' : c;
  if (text.size() > 80) text = text.substr(0, Utf8Prefix(text, 77, 77)) + "...";
  return "\"" + text + "\"";
}

std::string RowName(const TRowKey& key) {
  return Format("machine %s, rec_num %s", key.MachineNull ? std::string("NULL") : key.MachineValue, key.RecNum);
}

bool IsDateKind(TodDataKind kind) { return kind == odDate || kind == odTime || kind == odDateTime; }

}  // namespace

class TVerify::TTableCheck {
 public:
  TTableCheck(TVerify& owner, const std::string& table, const TVerifyRequest& request, TVerifyCounts& counts)
      : FOwner(owner), FTable(table), FRequest(request), FCounts(counts) {
    const std::string sep(1, platform::PathDelim);
    FOutDir = owner.FShareRoot + "netw" + sep + table + sep;
  }

  bool Run();

 private:
  // The day file being read, and where its merge with the rows stands.
  struct TFile {
    std::string Path;
    std::unique_ptr<xbase::Table> Table;
    TCollectSink Sink;
    bool Exists = false;
    bool Readable = true;
    std::vector<std::string> Names;
    std::vector<FIELD4INFO> Infos;  // as d4fieldInfo gives them, for FieldText
    std::vector<int> Fields;        // the engine's field numbers, same order
    int MachineField = -1, RecNumField = -1;  // positions in Infos
    uint32_t Count = 0;
    uint32_t Next = 1;  // the first record not looked at yet
    int Rows = 0, Deleted = 0, Issues = 0;
    std::int32_t LastMark = 0;
    std::string LastRow;
  };

  bool ScanFolder();
  bool CheckDay(TDateTime day);
  void OpenFile(const std::string& path);
  void FinishFile();
  void CheckRow(TODBCStatement& row, const TRowKey& key, std::int32_t mark);
  void CompareRecord(TODBCStatement& row, const TRowKey& key, std::int32_t mark);
  void Missing(const TRowKey& key, std::int32_t mark, const std::string& why, bool repairable);
  // A record of the open file holding the row's machine and rec_num, not
  // deleted; 0 when none (or the file has no such fields).
  uint32_t RecordHolding(const TRowKey& key);
  void Unmarked(uint32_t record);
  bool GoTo(uint32_t record);
  void Issue(const std::string& line) {
    FOwner.Print(line);
    ++FFile->Issues;
  }
  void ReportProgress(bool force = false);
  std::string StripTrailingSeparator() const { return StripTrailingBackslash(FOutDir); }
  std::string Where(uint32_t record) const { return Format("%s record %d", FFile->Path, static_cast<int>(record)); }

  TVerify& FOwner;
  std::string FTable;
  const TVerifyRequest& FRequest;
  TVerifyCounts& FCounts;
  std::string FOutDir;
  // The day files of the range found in the folder: day -> machine -> path.
  std::map<int, std::map<int, std::string>> FDayFiles;
  // Records noted by a run and not settled: (file, record) -> the row.
  std::map<std::pair<std::string, long>, TRowKey> FPending;
  std::set<std::string> FDone;  // files of the current day already read
  std::unique_ptr<TFile> FFile;
  std::unique_ptr<TODBCStatement> FRepair;
  bool FFailed = false;  // something could not be read
  std::string FDay;
  std::uint32_t FLastProgress = 0;
};

bool TVerify::TTableCheck::Run() {
  FOwner.Print(Format("%s: %s to %s, files in %s", FTable, DayText(FRequest.From), DayText(FRequest.To), FOutDir));
  TJournal journal(FOwner.FJournalPath(FTable));
  const bool journalRead = journal.Load();
  if (journalRead)
    for (const auto& e : journal.Pending()) FPending[{e.File, e.RecNo}] = e.Key;
  if (FRequest.Repair) {
    if (!journalRead) {
      FOwner.Print(Format("%s: the journal %s can't be read; nothing repaired", FTable, journal.Path()));
      ++FCounts.Unreadable;
      return false;
    }
    if (!journal.Pending().empty()) {
      FOwner.Print(Format("%s: the journal %s holds %d notes not settled (a conversion is running, or the next one "
                          "settles them); nothing repaired, try again after a cycle",
                          FTable, journal.Path(), static_cast<int>(journal.Pending().size())));
      ++FCounts.Unreadable;
      return false;
    }
    FRepair = std::make_unique<TODBCStatement>(MainOdbc.get(), false, false);
  }
  if (!ScanFolder()) return false;
  for (TDateTime day = FRequest.From; day <= FRequest.To && !FFailed; day += 1) {
    if (!CheckDay(day)) FFailed = true;
  }
  if (FOwner.Progress) FOwner.Progress("");
  return !FFailed;
}

// The day files of the range, from one listing of the folder: a name counts
// when the conversion would give it to a day of the range and a machine.
bool TVerify::TTableCheck::ScanFolder() {
  if (!platform::DirectoryExists(StripTrailingSeparator())) {
    FOwner.Print(Format("%s: the folder %s can't be read; is the share there?", FTable, FOutDir));
    ++FCounts.Unreadable;
    return false;
  }
  std::map<std::string, std::vector<int>> daysOfStem;  // "MMDDYY" -> days of the range
  for (TDateTime day = FRequest.From; day <= FRequest.To; day += 1)
    daysOfStem[FormatDateTime("MMDDYY", day)].push_back(static_cast<int>(day));
  std::error_code ec;
  std::filesystem::directory_iterator it(FOutDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 12 || !SameText(name.substr(name.size() - 4), ".dbf")) continue;
    const auto days = daysOfStem.find(name.substr(0, 6));
    if (days == daysOfStem.end()) continue;
    const std::string number = name.substr(6, name.size() - 10);
    int machine = 0;
    if (!MachineNumber(number, true, machine)) continue;
    // Where file names ignore letter case, so does the conversion's open.
    const bool caseBlind = platform::PathDelim == '\\';
    for (int day : days->second) {
      const std::string wanted = MakeDbfName(day, machine);
      if (wanted == name || (caseBlind && SameText(wanted, name))) FDayFiles[day][machine] = FOutDir + name;
    }
  }
  if (ec) {
    FOwner.Print(Format("%s: the folder %s can't be listed: %s", FTable, FOutDir, ec.message()));
    ++FCounts.Unreadable;
    return false;
  }
  return true;
}

// One ordered select for the day: its rows come file by file (NULL and 0
// machines share the 00 file and sort together), each file's in record
// order, so each file is read once from its first record to its last.
bool TVerify::TTableCheck::CheckDay(TDateTime day) {
  FDay = DayText(day);
  FDone.clear();
  const auto found = FDayFiles.find(static_cast<int>(day));
  std::map<int, std::string> files = found == FDayFiles.end() ? std::map<int, std::string>{} : found->second;
  // Rows whose dat_e is NULL are filed under 30 December 1899.
  const std::string nullDay = day == 0 ? " or dat_e is null" : "";
  TODBCStatement select(MainOdbc.get(), true, false);
  bool haveRow = select.ExecSQLFmt(
      "select * from %s where ifnull(convtd,0)<>0 and (dat_e>='%s' and dat_e<'%s'%s) "
      "order by ifnull(machine,0)+0,convtd,rec_num",
      FTable, FDay, DayText(day + 1), nullDay);
  if (!haveRow && !select.Eof) {
    FOwner.Print(Format("%s %s: the select of the marked rows failed (see the log)", FTable, FDay));
    ++FCounts.Unreadable;
    return false;
  }
  const auto filesBefore = [&](int machine) {
    while (!files.empty() && files.begin()->first < machine) {
      OpenFile(files.begin()->second);
      files.erase(files.begin());
      FinishFile();
    }
  };
  while (haveRow) {
    if (MainOdbc->ConnectionLost) break;
    TRowKey key;
    const TRowKeyState state = ReadRowKey(select, key);
    const std::int32_t mark = select.FieldAsInteger("convtd");
    ++FCounts.Rows;
    if (state != rkNamed) {
      FOwner.Print(Format("%s %s: row %s is marked %d but %s; it names no file", FTable, FDay, RowName(key),
                          static_cast<int>(mark), state == rkNoRecNum ? "has no rec_num" : "its machine is no number"));
      ++FCounts.Missing;
    } else {
      const std::string path = FOutDir + MakeDbfName(select.FieldAsDateTime("dat_e"), key.Machine);
      if (!FFile || FFile->Path != path) {
        if (FFile) FinishFile();
        filesBefore(key.Machine);
        if (FDone.count(path)) {
          // Only rows whose machine sorts apart from its number get here.
          FOwner.Print(Format("%s %s: the rows of %s did not come together (row %s); the day is not checked further",
                              FTable, FDay, path, RowName(key)));
          ++FCounts.Unreadable;
          return false;
        }
        files.erase(key.Machine);
        OpenFile(path);
      }
      CheckRow(select, key, mark);
    }
    ReportProgress();
    haveRow = select.Skip(sdNext, 1);
  }
  if (select.FetchFailed || MainOdbc->ConnectionLost) {
    // The rest of the day's rows were never read: its records can't be
    // told from records of no row.
    FOwner.Print(Format("%s %s: the marked rows could not all be read (%s); the day is not checked further", FTable,
                        FDay, MainOdbc->ConnectionLost ? "the link to the server is lost" : "see the log"));
    FFile.reset();
    ++FCounts.Unreadable;
    return false;
  }
  if (FFile) FinishFile();
  filesBefore(INT_MAX);
  for (auto& [machine, path] : files) {  // INT_MAX itself
    OpenFile(path);
    FinishFile();
  }
  return true;
}

void TVerify::TTableCheck::OpenFile(const std::string& path) {
  FFile = std::make_unique<TFile>();
  TFile& f = *FFile;
  f.Path = path;
  FDone.insert(path);
  ++FCounts.Files;
  f.Exists = platform::FileExists(path);
  if (!f.Exists) return;
  xbase::TableOptions options;
  options.read_only = true;
  options.see_records_past_count = true;
  options.sink = &f.Sink;
  options.lock_timeout_ms = 2000;
  f.Table = xbase::Table::Open(path, options);
  if (!f.Table) {
    f.Readable = false;
    std::string why = f.Sink.Lines.empty() ? "it does not open" : f.Sink.Lines.back();
    if (why.compare(0, path.size() + 2, path + ": ") == 0) why = why.substr(path.size() + 2);
    FOwner.Print(Format("%s: can't be read (%s); its rows are not checked", path, why));
    ++FCounts.Unreadable;
    FFailed = true;
    return;
  }
  for (const auto& line : f.Sink.Lines) FOwner.Print("note: " + line);
  f.Sink.Lines.clear();
  f.Count = f.Table->record_count();
  FCounts.Records += static_cast<int>(f.Count);
  for (int i : f.Table->visible_fields()) {
    f.Fields.push_back(i);
    f.Names.push_back(f.Table->field(i).name);
  }
  for (size_t k = 0; k < f.Fields.size(); ++k) {
    const auto& d = f.Table->field(f.Fields[k]);
    f.Infos.push_back(FIELD4INFO{f.Names[k].c_str(), static_cast<int16_t>(d.type), d.length, d.decimals, 0});
    if (SameText(d.name, "machine")) f.MachineField = static_cast<int>(k);
    if (SameText(d.name, "rec_num")) f.RecNumField = static_cast<int>(k);
  }
}

bool TVerify::TTableCheck::GoTo(uint32_t record) {
  if (FFile->Table->Go(record)) return true;
  FOwner.Print(Format("%s: can't be read at record %d; the rest of it is not checked", FFile->Path,
                      static_cast<int>(record)));
  ++FCounts.Unreadable;
  FFailed = true;
  FFile->Readable = false;
  return false;
}

void TVerify::TTableCheck::CheckRow(TODBCStatement& row, const TRowKey& key, std::int32_t mark) {
  TFile& f = *FFile;
  ++f.Rows;
  if (!f.Readable) return;
  if (!f.Exists) {
    Missing(key, mark, "the file is missing", true);
    return;
  }
  if (f.Rows > 1 && mark == f.LastMark) {
    Issue(Format("%s: marked by two rows, %s and %s", Where(static_cast<uint32_t>(mark)), f.LastRow, RowName(key)));
    ++FCounts.Shared;
    return;
  }
  f.LastMark = mark;
  f.LastRow = RowName(key);
  if (mark < 1) {
    Missing(key, mark, "no record has that number", false);
    return;
  }
  const auto record = static_cast<uint32_t>(mark);
  while (f.Readable && f.Next < record && f.Next <= f.Count) Unmarked(f.Next++);
  if (!f.Readable) return;
  if (record > f.Count) {
    Missing(key, mark, Format("the file holds %d records", static_cast<int>(f.Count)), true);
    return;
  }
  f.Next = record + 1;
  if (!GoTo(record)) return;
  if (f.Table->deleted()) {
    ++f.Deleted;
    Missing(key, mark, "the record is deleted", true);
    return;
  }
  CompareRecord(row, key, mark);
}

// The record against the texts the conversion would write from the row.
void TVerify::TTableCheck::CompareRecord(TODBCStatement& row, const TRowKey& key, std::int32_t mark) {
  TFile& f = *FFile;
  std::string differences;
  bool otherRow = false;
  for (size_t k = 0; k < f.Fields.size(); ++k) {
    const FIELD4INFO& info = f.Infos[k];
    const int column = row.FieldIndex(info.name);
    if (info.type == 'D' && (column < 0 || !IsDateKind(row.ColumnKind(column)))) continue;
    const std::string text = FieldText(row, info);
    const std::string expected = f.Table->StoredValue(f.Fields[k], text);
    const std::string stored = f.Table->Value(f.Fields[k]);
    if (stored == expected) continue;
    if (static_cast<int>(k) == f.MachineField || static_cast<int>(k) == f.RecNumField) otherRow = true;
    differences += Format("%s%s %s in the file, %s from the row", differences.empty() ? "" : "; ", info.name,
                          Shown(stored), Shown(expected));
  }
  if (differences.empty()) return;
  if (otherRow) {
    const std::string machine = f.MachineField >= 0 ? f.Table->Value(f.Fields[f.MachineField]) : "?";
    const std::string recNum = f.RecNumField >= 0 ? f.Table->Value(f.Fields[f.RecNumField]) : "?";
    Issue(Format("%s: holds machine %s, rec_num %s, not the row %s marked %d", Where(static_cast<uint32_t>(mark)),
                 Trim(machine), Trim(recNum), RowName(key), static_cast<int>(mark)));
    ++FCounts.OtherRow;
  } else {
    Issue(Format("%s: differs from the row %s marked with it: %s", Where(static_cast<uint32_t>(mark)), RowName(key),
                 differences));
    ++FCounts.Different;
  }
}

uint32_t TVerify::TTableCheck::RecordHolding(const TRowKey& key) {
  TFile& f = *FFile;
  if (!f.Exists || !f.Readable || !f.Table || f.MachineField < 0 || f.RecNumField < 0) return 0;
  const std::string recNum = Trim(key.RecNum);
  uint32_t found = 0;
  for (uint32_t r = 1; r <= f.Count && found == 0; ++r) {
    if (!f.Table->Go(r) || f.Table->deleted()) continue;
    const std::string machine = Trim(f.Table->Value(f.Fields[static_cast<size_t>(f.MachineField)]));
    int number = 0;
    if (Trim(f.Table->Value(f.Fields[static_cast<size_t>(f.RecNumField)])) == recNum &&
        (machine.empty() ? 0 : MachineNumber(machine, true, number) ? number : -1) == key.Machine)
      found = r;
  }
  return found;
}

void TVerify::TTableCheck::Missing(const TRowKey& key, std::int32_t mark, const std::string& why, bool repairable) {
  Issue(Format("%s: missing (%s); the row %s is marked %d", Where(static_cast<uint32_t>(std::max(mark, 0))), why,
               RowName(key), static_cast<int>(mark)));
  ++FCounts.Missing;
  if (!FRepair) return;
  if (!repairable) {
    FOwner.Print(Format("  not repaired: a mark of %d is no record number the conversion gives", static_cast<int>(mark)));
    return;
  }
  // A record of the file that holds the row's machine and rec_num may be
  // its copy under another number (the mark was changed by hand): clearing
  // the mark would copy the row a second time.
  if (const uint32_t held = RecordHolding(key); held != 0) {
    FOwner.Print(Format("  not repaired: record %d of %s holds the row %s; its mark should be %d", static_cast<int>(held),
                        FFile->Path, RowName(key), static_cast<int>(held)));
    return;
  }
  // Only while the row still holds that mark: whatever changed it since the
  // select knows better.
  std::vector<std::string> params = key.Params();
  const bool ran = FRepair->ExecSQLParams(
      Format("update %s set convtd=0 where %s and convtd=%d", FTable, key.Condition(), static_cast<int>(mark)), params);
  const SQLLEN changed = ran ? FRepair->RowCount() : -1;
  if (!ran) {
    FOwner.Print(Format("  not repaired: the update of the row %s failed (see the log)", RowName(key)));
    ++FCounts.Unreadable;
    FFailed = true;
    return;
  }
  if (changed == 0) {
    FOwner.Print(Format("  not repaired: the row %s no longer holds mark %d", RowName(key), static_cast<int>(mark)));
    return;
  }
  ++FCounts.Cleared;
  const std::string line = Format("Verify: %s %s was marked %d, but %s record %d is missing (%s); mark cleared, the "
                                  "next cycle copies the row again",
                                  FTable, RowName(key), static_cast<int>(mark), FFile->Path, static_cast<int>(mark), why);
  LogNow(line);
  FOwner.Print("  mark cleared: the next cycle copies the row again");
}

void TVerify::TTableCheck::Unmarked(uint32_t record) {
  TFile& f = *FFile;
  if (!GoTo(record)) return;
  if (f.Table->deleted()) {
    // A record taken back after another program had appended: no row's.
    ++f.Deleted;
    return;
  }
  const auto pending = FPending.find({f.Path, static_cast<long>(record)});
  if (pending != FPending.end()) {
    FOwner.Print(Format("%s: awaits the mark of the row %s (noted by a run in progress or interrupted; the next cycle "
                        "settles it)",
                        Where(record), RowName(pending->second)));
    ++FCounts.Awaiting;
    return;
  }
  std::string fields;
  for (size_t k = 0; k < f.Fields.size(); ++k)
    fields += Format("%s%s=%s", k ? ", " : "", f.Names[k], Shown(Trim(f.Table->Value(f.Fields[k]))));
  Issue(Format("%s: marked by no row: %s", Where(record), fields));
  ++FCounts.Unmarked;
}

void TVerify::TTableCheck::FinishFile() {
  TFile& f = *FFile;
  while (f.Exists && f.Readable && f.Next <= f.Count) Unmarked(f.Next++);
  if (!f.Exists)
    FOwner.Print(Format("%s: missing, %d rows marked", f.Path, f.Rows));
  else if (f.Readable)
    FOwner.Print(Format("%s: %d rows marked, %d records%s%s", f.Path, f.Rows, static_cast<int>(f.Count),
                        f.Deleted ? Format(" (%d deleted)", f.Deleted) : std::string(),
                        f.Issues ? Format(", %d discrepancies", f.Issues) : std::string(", all in order")));
  FFile.reset();
  ReportProgress(true);
}

void TVerify::TTableCheck::ReportProgress(bool force) {
  if (!FOwner.Progress) return;
  const std::uint32_t now = platform::GetTickCount();
  if (!force && now - FLastProgress < 200) return;
  FLastProgress = now;
  FOwner.Progress(Format("%s %s: %d rows, %d files", FTable, FDay, FCounts.Rows, FCounts.Files));
}

// ---- the whole check --------------------------------------------------------------

TVerify::TVerify(std::string shareRoot, std::function<std::string(const std::string&)> journalPath)
    : FShareRoot(std::move(shareRoot)), FJournalPath(std::move(journalPath)) {}

void TVerify::Print(const std::string& line) {
  if (Progress) Progress("");
  if (Out) {
    Out(line);
  } else {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
}

bool TVerify::CheckTable(const std::string& table, const TVerifyRequest& request, TVerifyCounts& counts) {
  TTableCheck check(*this, table, request, counts);
  return check.Run();
}

int TVerify::Run(const TVerifyRequest& request) {
  Totals = TVerifyCounts{};
  bool readAll = true;
  for (const std::string& table : request.Tables) {
    TVerifyCounts counts;
    readAll = CheckTable(table, request, counts) && readAll;
    Print(Format("%s: %s", table, SummaryText(counts)));
    Totals.Files += counts.Files;
    Totals.Rows += counts.Rows;
    Totals.Records += counts.Records;
    Totals.Missing += counts.Missing;
    Totals.OtherRow += counts.OtherRow;
    Totals.Different += counts.Different;
    Totals.Unmarked += counts.Unmarked;
    Totals.Shared += counts.Shared;
    Totals.Awaiting += counts.Awaiting;
    Totals.Cleared += counts.Cleared;
    Totals.Unreadable += counts.Unreadable;
  }
  const int code = !readAll || Totals.Unreadable ? 2 : Totals.Discrepancies() ? 1 : 0;
  Print(Format("Summary: %s; %s", SummaryText(Totals),
               code == 0   ? std::string("every mark has its record and every record its mark")
               : code == 1 ? Format("%d discrepancies", Totals.Discrepancies())
                           : std::string("not everything could be read (exit 2)")));
  LogNow(Format("Verify %s to %s: %s", DayText(request.From), DayText(request.To), SummaryText(Totals)));
  return code;
}

// ---- the command line's entry ------------------------------------------------------

int TKestrel::Verify(const std::vector<std::string>& Args) {
  TVerifyRequest request;
  std::string error;
  if (!ParseVerifyArgs(std::vector<std::string>(Args.begin() + (Args.empty() ? 0 : 1), Args.end()), Today(), request,
                       error)) {
    std::fprintf(stderr, "%s\nUsage: tidewell -VERIFY [weight|action] [FROM [TO]] [-REPAIR]   (dates YYYY-MM-DD)\n",
                 error.c_str());
    return 2;
  }
  OpenLog(Format("Verifying %s from %s to %s%s", request.Tables.size() == 1 ? request.Tables[0] : std::string("both tables"),
                 DayText(request.From), DayText(request.To), request.Repair ? ", repairing" : ""));
  int code = 2;
  if (!LoadSettings()) {
    const std::string line = ConnectErrorLine(LastSettings);
    MainLog->Flush(line);
    std::fprintf(stderr, "No connection to the database: %s\n", line.c_str());
  } else {
    TVerify verify(ShareRootPath(), [this](const std::string& table) { return JournalPath(table); });
    if (platform::StandardErrorIsTerminal())
      verify.Progress = [shown = size_t{0}](const std::string& text) mutable {
        // One line, written over: blanks clear what a longer text left.
        if (text.empty() && shown == 0) return;
        std::string line = "\r" + text;
        if (text.size() < shown) line += std::string(shown - text.size(), ' ') + "\r" + text;
        if (text.empty()) line += "\r";
        shown = text.size();
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
      };
    code = verify.Run(request);
  }
  CloseDatabase();
  MainLog.reset();
  return code;
}

}  // namespace tidewell
