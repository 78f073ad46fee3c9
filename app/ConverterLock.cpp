#include "app/ConverterLock.h"

#include <cstdint>

#include "common/Clock.h"
#include "common/Format.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/System.h"

namespace tidewell {

namespace {

void Log(const std::string& text) {
  if (MainLog) MainLog->Flush(text);
}

std::string SkipLine(const std::string& table, const std::string& holder) {
  return Format("%s is being converted by another converter (%s); this cycle skips it", table, holder);
}

// Runs a statement that may fail on a database without the function it
// calls: such a failure says only that, so it is not reported.
class TQuietQuery {
 public:
  explicit TQuietQuery(TODBC* odbc) : FOdbc(odbc), FReport(odbc->ReportErrors) { odbc->ReportErrors = false; }
  ~TQuietQuery() { FOdbc->ReportErrors = FReport; }
  TQuietQuery(const TQuietQuery&) = delete;
  TQuietQuery& operator=(const TQuietQuery&) = delete;
  // The first column of the first row; nothing when the query failed or
  // gave NULL.
  std::optional<std::string> Value(const std::string& sql, const std::vector<std::string>& params = {}) {
    TODBCStatement st(FOdbc, true, false);
    if (!st.ExecSQLParams(sql, params, true) || st.Eof) return std::nullopt;
    return st.FieldAsExactText("v");
  }

 private:
  TODBC* FOdbc;
  bool FReport;
};

}  // namespace

TConverterLock::~TConverterLock() { Release(); }

std::string TConverterLock::HolderText() {
  return Format("host %s, pid %d, %s, since %s", platform::HostName(), static_cast<int>(platform::ProcessId()),
                platform::ExecutablePath(), FormatDateTime("dd/mm/yy hh:nn:ss", Now()));
}

std::string TConverterLock::DatabaseLockName(const std::string& database, const std::string& table) {
  std::string name = "tidewell." + database + "." + table;
  if (name.size() <= 64) return name;
  // A long database name is known by its hash (FNV-1a, 64 bits).
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : database) {
    h ^= c;
    h *= 1099511628211ull;
  }
  name = Format("tidewell.%.8x%.8x.", static_cast<int>(h >> 32), static_cast<int>(h & 0xFFFFFFFFu)) + table;
  return name.substr(0, 64);
}

bool TConverterLock::TakeFile(platform::TLockFile& lock, const std::string& path) {
  switch (lock.TryLock(path, HolderText())) {
    case platform::TLockFile::lsTaken:
    case platform::TLockFile::lsFailed:  // as if alone: see the header
      return true;
    case platform::TLockFile::lsHeld:
      break;
  }
  Holder = lock.Holder.empty() ? "its lock file " + path + " does not name it yet" : lock.Holder;
  return false;
}

bool TConverterLock::TakeDatabaseLock(const std::string& table) {
  if (!FOdbc || !FOdbc->Connected || FOdbc->ConnectionLost) return true;
  TQuietQuery q(FOdbc);
  // A database without named locks fails here; its rows are guarded by the
  // files' locks and the marks' own condition.
  const auto database = q.Value("select database() as v");
  if (!database) return true;
  const std::string name = DatabaseLockName(*database, table);
  const auto got = q.Value("select get_lock(?, 0) as v", {name});
  if (got && *got == "1") {
    FDatabaseLock = name;
    return true;
  }
  if (!got) return true;  // an error, not another holder
  const auto id = q.Value("select is_used_lock(?) as v", {name});
  Holder = id ? Format("database connection %s holds the lock %s", *id, name) : "the lock " + name;
  return false;
}

bool TConverterLock::Take(const std::string& table, const std::string& outputDir, const std::string& journalDir) {
  Release();
  Holder.clear();
  bool taken = TakeFile(FShareLock, outputDir + ".tidewell-" + table + ".lock");
  if (taken) {
    platform::ForceDirectories(journalDir);
    taken = TakeFile(FJournalLock, journalDir + std::string(1, platform::PathDelim) + table + ".lock");
  }
  if (taken) taken = TakeDatabaseLock(table);
  if (taken) return true;
  Release();
  Log(SkipLine(table, Holder));
  return false;
}

void TConverterLock::Release() {
  if (!FDatabaseLock.empty() && FOdbc && FOdbc->Connected && !FOdbc->ConnectionLost)
    TQuietQuery(FOdbc).Value("select release_lock(?) as v", {FDatabaseLock});
  FDatabaseLock.clear();
  FJournalLock.Unlock();
  FShareLock.Unlock();
}

}  // namespace tidewell
