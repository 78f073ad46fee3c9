// Settings and connection bootstrap: every cycle reads mysqlconn.ini afresh
// (an edited file takes effect at the next cycle, nothing is cached) and
// opens MainOdbc with what it found.
#include "app/Settings.h"

#include "app/sMain.h"
#include "common/BuildConfig.h"
#include "common/Format.h"
#include "logging/MessLog.h"
#include "platform/IniFile.h"
#include "platform/System.h"

namespace tidewell {

std::unique_ptr<TODBC> MainOdbc;

std::string SettingsPath(const std::string& folder) {
  std::string dir = folder.empty() ? platform::ExtractFilePath(platform::ExecutablePath()) : folder;
  if (!dir.empty() && dir.back() != platform::PathDelim) dir += platform::PathDelim;
  return dir + SettingsFileName;
}

namespace {

// One line for a settings file that gives the defaults for a reason an
// administrator should hear of; empty when the file reads as it should.
std::string SettingsFileLine(const platform::TIniFile& ini) {
  using platform::TIniFileState;
  const TIniFileState state = ini.Check(SettingsSection);
  const std::string& file = ini.FileName();
  const std::string defaults = "; the built-in defaults are used";
  switch (state.Kind) {
    case TIniFileState::fsMissing: return Format("Settings file %s not found", file) + defaults;
    case TIniFileState::fsUnreadable: return Format("Settings file %s can't be read (%s)", file, state.Problem) + defaults;
    case TIniFileState::fsEmpty:
      return Format("Settings file %s is empty", file) + (state.Utf8Bom ? " (but for a UTF-8 byte order mark)" : "") +
             defaults;
    case TIniFileState::fsUtf16:
      return Format("Settings file %s is UTF-16 text, which is not read; save it as ANSI or UTF-8", file) + defaults;
    case TIniFileState::fsNoSection:
      return Format("Settings file %s has no [%s] section with settings", file, SettingsSection) +
             (state.Utf8Bom ? " (its UTF-8 byte order mark is skipped)" : "") + defaults;
    case TIniFileState::fsRead:
      break;
  }
  if (state.Utf8Bom) return Format("Settings file %s starts with a UTF-8 byte order mark; it is skipped", file);
  return "";
}

}  // namespace

TConnectSettings ReadConnectSettings(const std::string& path) {
  const platform::TIniFile ini(path);
  TConnectSettings s;
  s.Host = ini.ReadString(SettingsSection, "Host", "");
  s.DataBase = ini.ReadString(SettingsSection, "DataBase", DefaultDataBase);
  s.User = ini.ReadString(SettingsSection, "User", "");
  s.Key = ini.ReadString(SettingsSection, "Key", "");
  s.Driver = ini.ReadString(SettingsSection, "Driver", DefaultDriver);
  s.Custom = ini.ReadString(SettingsSection, "Custom", std::string("SERVER=") + DefaultServer + DefaultTimeouts);
  return s;
}

bool TKestrel::LoadSettings() {
  // A missing file, section or key is not an error: each value has a
  // default. Why a whole file gives none of its values is said once a cycle.
  const std::string path = SettingsPath(ExeDirOverride);
  if (const std::string line = SettingsFileLine(platform::TIniFile(path)); !line.empty() && MainLog) MainLog->Add(line);
  LastSettings = ReadConnectSettings(path);
  const TConnectSettings& s = LastSettings;
  return OpenDatabase(s.Host, s.DataBase, s.User, s.Key, s.Driver, s.Custom);
}

bool TKestrel::OpenDatabase(const std::string& Host, const std::string& DataBase, const std::string& User,
                            const std::string& Key, const std::string& Driver, const std::string& Custom) {
  // A connection left over by a cycle that ended in an exception goes first.
  MainOdbc.reset();
  MainOdbc = std::make_unique<TODBC>();
  MainOdbc->Log = MainLog.get();
  MainOdbc->ReportErrors = true;
  MainOdbc->StopWanted = [this] { return StopRequested.load(); };
  if (MainOdbc->Connect(Host, User, Key, DataBase, false, Driver, Custom)) return true;
  MainOdbc.reset();
  return false;
}

void TKestrel::CloseDatabase() { MainOdbc.reset(); }

}  // namespace tidewell
