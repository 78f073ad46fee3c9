// Settings and connection bootstrap: every cycle reads mysqlconn.ini afresh
// (an edited file takes effect at the next cycle, nothing is cached) and
// opens MainOdbc with what it found.
#include "app/Settings.h"

#include "app/sMain.h"
#include "common/BuildConfig.h"
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
  LastSettings = ReadConnectSettings(SettingsPath(ExeDirOverride));
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
