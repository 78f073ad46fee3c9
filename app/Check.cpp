#include "app/Check.h"

#include <cstdio>

#include "app/Journal.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "common/Format.h"
#include "common/Text.h"
#include "odbc/Statement.h"
#include "platform/System.h"
#include "xbase/table.h"

namespace tidewell {

namespace {

// The columns every run reads or writes, whatever the template holds.
constexpr const char* NeededColumns[] = {"convtd", "machine", "dat_e", "tim_e", "rec_num"};

// Permission bits as chmod takes them: 0640.
std::string ModeText(unsigned mode) {
  std::string digits;
  for (int i = 0; i < 4; ++i, mode >>= 3) digits.insert(digits.begin(), static_cast<char>('0' + (mode & 7)));
  return digits;
}

class TReasonSink final : public xbase::ErrorSink {
 public:
  void Report(const std::string& line) override {
    if (Reason.empty()) Reason = line;
  }
  std::string Reason;
};

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

std::string TCheckLine::Printed() const {
  const char* word = State == TCheckState::csOk ? "ok  " : State == TCheckState::csWarn ? "warn" : "FAIL";
  return Format("%s  %s: %s", word, Item, Text);
}

TSelfCheck::TSelfCheck(const TKestrel& service) : FService(service) {
  FExeDir = !service.ExeDirOverride.empty() ? service.ExeDirOverride
                                            : platform::ExtractFileDir(platform::ExecutablePath());
}

void TSelfCheck::Add(TCheckState state, const std::string& item, const std::string& text) {
  Lines.push_back({state, item, text});
  if (OnLine) OnLine(Lines.back());
}

std::string TSelfCheck::OdbcReason() {
  if (FOdbcLog) FOdbcLog->Flush();
  std::string reason;
  for (const auto& line : FOdbcLines) reason += (reason.empty() ? "" : " / ") + line;
  FOdbcLines.clear();
  return reason.empty() ? std::string("no reason given by the driver") : reason;
}

bool TSelfCheck::Run() {
  Lines.clear();
  const std::string user = platform::CurrentUserName();
  std::string as = "checked as " + user;
  if (user != ServiceAccount && platform::UserAccountExists(ServiceAccount))
    as += std::string("; the service runs as ") + ServiceAccount + ", which may reach less (sudo -u " +
          ServiceAccount + " tidewell -CHECK checks for it)";
  Add(TCheckState::csOk, "user", as);

  const std::string sep(1, platform::PathDelim);
  CheckSettings(SettingsPath(FService.ExeDirOverride));
  CheckFolder("log folder", FExeDir + sep + "log", true);
  CheckFolder("journal folder", FExeDir + sep + "journal", true);
  CheckDatabase();
  CheckTable("weight", "gstru.dbf");
  CheckTable("action", "astru.dbf");
  FOdbc.reset();
  FOdbcLog.reset();
  for (const auto& line : Lines)
    if (line.State == TCheckState::csFail) return false;
  return true;
}

void TSelfCheck::CheckSettings(const std::string& path) {
  if (!platform::FileExists(path)) {
    Add(TCheckState::csFail, "settings",
        path + " not found; a cycle would connect with every key's default (see tidewell(8), SETTINGS)");
    return;
  }
  if (!platform::CanRead(path)) {
    Add(TCheckState::csFail, "settings", path + " can't be read by " + platform::CurrentUserName());
    return;
  }
  std::string owner;
  if (const auto o = platform::FileOwnership(path)) owner = o->Owner + ":" + o->Group + " " + ModeText(o->Mode);
  if (platform::ReadableByOthers(path, ServiceAccount)) {
    Add(TCheckState::csFail, "settings",
        path + " (" + owner + ") holds the database password and is readable by other users; chmod 640 and chgrp " +
            ServiceAccount + ", or chmod 600");
    return;
  }
  Add(TCheckState::csOk, "settings", path + (owner.empty() ? "" : " (" + owner + ")"));
}

void TSelfCheck::CheckFolder(const std::string& item, const std::string& path, bool create) {
  const std::string real = platform::ResolveLinks(path);
  const std::string shown = real != path ? path + " -> " + real : path;
  if (platform::FileExists(path)) {
    Add(TCheckState::csFail, item, shown + " is a file, not a folder");
    return;
  }
  if (!platform::DirectoryExists(path)) {
    // A run makes the log and journal folders when it can.
    const std::string parent = platform::ExtractFileDir(real);
    if (create && platform::CanWriteInto(parent)) {
      Add(TCheckState::csOk, item, shown + " is not there yet; the first run makes it");
      return;
    }
    Add(TCheckState::csFail, item, shown + " does not exist" + (create ? " and can't be made" : ""));
    return;
  }
  if (!platform::CanWriteInto(path)) {
    std::string owner;
    if (const auto o = platform::FileOwnership(path)) owner = " (" + o->Owner + ":" + o->Group + " " + ModeText(o->Mode) + ")";
    Add(TCheckState::csFail, item, shown + owner + " is not writable by " + platform::CurrentUserName());
    return;
  }
  Add(TCheckState::csOk, item, shown + " writable");
}

void TSelfCheck::CheckDatabase() {
  const TConnectSettings s = ReadConnectSettings(SettingsPath(FService.ExeDirOverride));
  FOdbcLog = std::make_unique<TMessLog>([this](const std::string& text) { FOdbcLines.push_back(text); });
  FOdbc = std::make_unique<TODBC>();
  FOdbc->Log = FOdbcLog.get();
  FOdbc->ReportErrors = true;
  FOdbc->AcceptEmptyResult = true;
  if (!FOdbc->IsBound() || FOdbc->EnvHandle == SQL_NULL_HENV) {
    Add(TCheckState::csFail, "driver", "the ODBC driver manager (unixODBC, libodbc.so.2) can't be loaded");
    FOdbc.reset();
    return;
  }
  // A data source by that name is tried first; else the driver is named in
  // the connection string.
  bool byName = false;
  if (!s.Host.empty()) {
    for (const auto& name : FOdbc->DataSourceNames()) byName = byName || name == s.Host;
    if (byName) Add(TCheckState::csOk, "driver", "data source \"" + s.Host + "\" defined");
  }
  if (!byName) {
    bool registered = false;
    for (const auto& name : FOdbc->DriverNames()) registered = registered || SameText(name, s.Driver);
    if (registered)
      Add(TCheckState::csOk, "driver", "\"" + s.Driver + "\" registered");
    else
      Add(TCheckState::csFail, "driver",
          "\"" + s.Driver + "\" is not registered with the driver manager (odbcinst -q -d lists those that are)" +
              (s.Host.empty() ? "" : "; nor is \"" + s.Host + "\" a data source"));
  }
  const std::string where = ConnectErrorLine(s).substr(8);  // "H:.. D:.. U:.. P:.."
  if (!FOdbc->Connect(s.Host, s.User, s.Key, s.DataBase, false, s.Driver, s.Custom)) {
    Add(TCheckState::csFail, "connection", where + ": " + OdbcReason());
    FOdbc.reset();
    return;
  }
  FOdbcLines.clear();
  Add(TCheckState::csOk, "connection", where);
}

std::vector<std::string> TSelfCheck::TableColumns(const std::string& table, bool& found, std::string& why) {
  std::vector<std::string> columns;
  TODBCStatement probe(FOdbc.get(), true, false);
  found = probe.ExecSQLFmt("select * from %s where 1=0", table);
  if (!found) {
    why = OdbcReason();
    return columns;
  }
  for (int i = 0; i < probe.Columns.Count(); ++i) columns.push_back(probe.Columns[i].Name);
  return columns;
}

void TSelfCheck::CheckTable(const std::string& table, const std::string& templateName) {
  const std::string sep(1, platform::PathDelim);
  const std::string netw = FService.ShareRootPath() + "netw" + sep;
  std::vector<std::string> columns;
  bool haveColumns = false;
  if (FOdbc) {
    std::string why;
    columns = TableColumns(table, haveColumns, why);
    if (!haveColumns) {
      Add(TCheckState::csFail, "table " + table, "can't be read: " + why);
    } else {
      std::vector<std::string> missing;
      for (const char* c : NeededColumns) {
        bool has = false;
        for (const auto& col : columns) has = has || SameText(col, c);
        if (!has) missing.push_back(c);
      }
      if (!missing.empty())
        Add(TCheckState::csFail, "table " + table, "lacks the column" + std::string(missing.size() > 1 ? "s " : " ") +
                                                       Joined(missing) + " the conversion needs");
      else
        Add(TCheckState::csOk, "table " + table, Format("%d columns, convtd, machine, dat_e, tim_e and rec_num among them",
                                                        static_cast<int>(columns.size())));
      TODBCStatement count(FOdbc.get(), true, false);
      if (count.ExecSQLFmt("select count(*) as waiting from %s where ifnull(convtd,0)=0", table))
        Add(TCheckState::csOk, "backlog " + table, count.FieldAsString("waiting") + " rows waiting");
      else
        Add(TCheckState::csFail, "backlog " + table, "the rows waiting can't be counted: " + OdbcReason());
    }
  }
  CheckTemplate(table, netw + templateName, haveColumns ? &columns : nullptr);
  CheckFolder("output " + table, netw + table, false);
  CheckJournal(table);
}

void TSelfCheck::CheckTemplate(const std::string& table, const std::string& path,
                               const std::vector<std::string>* columns) {
  const std::string item = "template " + table;
  if (!platform::FileExists(path)) {
    Add(TCheckState::csFail, item, path + " not found; new day files of " + table + " can't be made");
    return;
  }
  TReasonSink sink;
  xbase::TableOptions options;
  options.sink = &sink;
  options.read_only = true;
  const auto file = xbase::Table::Open(path, options);
  if (!file) {
    Add(TCheckState::csFail, item,
        path + " can't be read: " + (sink.Reason.empty() ? std::string("no reason given") : sink.Reason));
    return;
  }
  const int fields = static_cast<int>(file->visible_fields().size());
  if (!columns) {
    Add(TCheckState::csOk, item, Format("%s: %d fields (not compared with the table's columns)", path, fields));
    return;
  }
  std::vector<std::string> unfilled;
  for (const int f : file->visible_fields()) {
    const std::string& name = file->field(f).name;
    bool filled = false;
    for (const auto& c : *columns) filled = filled || SameText(c, name);
    if (!filled) unfilled.push_back(name);
  }
  if (unfilled.empty())
    Add(TCheckState::csOk, item, Format("%s: %d fields, each filled from a column", path, fields));
  else
    Add(TCheckState::csWarn, item,
        Format("%s: %d fields; no column of %s fills %s (they stay blank)", path, fields, table, Joined(unfilled)));
}

void TSelfCheck::CheckJournal(const std::string& table) {
  const std::string item = "journal " + table;
  TJournal journal(FService.JournalPath(table));
  if (!journal.Load()) {
    Add(TCheckState::csFail, item, journal.Path() + " can't be read; runs of " + table + " end before their select");
    return;
  }
  const size_t pending = journal.Pending().size();
  std::string text = journal.Path() + (platform::FileExists(journal.Path()) ? "" : " (none yet)");
  if (pending == 0 && journal.DamagedLines.empty()) {
    Add(TCheckState::csOk, item, text + ": nothing pending");
    return;
  }
  if (pending)
    text += Format(": %d notes pending (an interrupted run); the next run of %s settles them", static_cast<int>(pending),
                   table);
  if (!journal.DamagedLines.empty())
    text += Format("%s %d damaged lines skipped", pending ? ";" : ":", static_cast<int>(journal.DamagedLines.size()));
  Add(TCheckState::csWarn, item, text);
}

int RunSelfCheck(const TKestrel& service) {
  TSelfCheck check(service);
  check.OnLine = [](const TCheckLine& line) {
    std::fputs((line.Printed() + "\n").c_str(), stdout);
    std::fflush(stdout);
  };
  return check.Run() ? 0 : 1;
}

}  // namespace tidewell
