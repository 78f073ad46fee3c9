// TSelfCheck: "tidewell -CHECK". Tells an administrator, before the first
// cycle, whether everything a cycle needs is in place: it reads the settings
// exactly as a cycle does, connects the same way, and looks at what a run of
// each table would touch. One line per item, each "ok", "warn" (the run goes
// on, but something may not be what was meant) or "FAIL" (a cycle would fail
// or lose its way there), in this order: the user it checks for, the
// settings file (found, readable, who else may read it), the log and journal
// folders (writable), the driver or data source (registered), the
// connection, then for weight and action: the table (the columns the
// conversion needs), its backlog (rows waiting), its template (readable; the
// fields no column fills), its output folder on the share (there, writable)
// and its journal (notes still pending).
//
// It writes nothing but its report: no log, no journal, no file on the share,
// no mark (the connection only reads).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logging/MessLog.h"
#include "odbc/Connection.h"

namespace tidewell {

class TKestrel;

enum class TCheckState { csOk, csWarn, csFail };

struct TCheckLine {
  TCheckState State = TCheckState::csOk;
  std::string Item, Text;
  // "ok    settings: ..." as printed.
  std::string Printed() const;
};

class TSelfCheck {
 public:
  // Checks the installation `service` runs from (its folder, its share root).
  explicit TSelfCheck(const TKestrel& service);

  // Runs every check; true when none failed. Each line also goes to
  // OnLine as soon as it is known.
  bool Run();
  std::vector<TCheckLine> Lines;
  std::function<void(const TCheckLine&)> OnLine;

 private:
  void Add(TCheckState state, const std::string& item, const std::string& text);
  void CheckSettings(const std::string& path);
  void CheckFolder(const std::string& item, const std::string& path, bool create);
  // The driver or data source, the connection, the tables.
  void CheckDatabase();
  void CheckTable(const std::string& table, const std::string& templateName);
  std::vector<std::string> TableColumns(const std::string& table, bool& found, std::string& why);
  void CheckTemplate(const std::string& table, const std::string& path, const std::vector<std::string>* columns);
  void CheckJournal(const std::string& table);

  const TKestrel& FService;
  std::string FExeDir;
  // What the ODBC layer logged since the last look: the reason of a failure.
  std::vector<std::string> FOdbcLines;
  std::string OdbcReason();
  std::unique_ptr<TMessLog> FOdbcLog;
  std::unique_ptr<TODBC> FOdbc;
};

// Prints the report of a check on standard output; the exit code: 0 when
// nothing failed, 1 otherwise.
int RunSelfCheck(const TKestrel& service);

}  // namespace tidewell
