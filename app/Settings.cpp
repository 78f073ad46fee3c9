// Settings and connection bootstrap. Until the ODBC layer is in, the cycle
// reads the default settings and reports that it could not connect.
#include "app/sMain.h"
#include "common/BuildConfig.h"

namespace tidewell {

bool TKestrel::LoadSettings() {
  LastSettings = TConnectSettings{"", "marrowby", "", "", "MySQL ODBC 3.51 Driver", std::string("SERVER=") + DefaultServer};
  const TConnectSettings& s = LastSettings;
  return OpenDatabase(s.Host, s.DataBase, s.User, s.Key, s.Driver, s.Custom);
}

bool TKestrel::OpenDatabase(const std::string&, const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&) {
  return false;
}

void TKestrel::CloseDatabase() {}

}  // namespace tidewell
