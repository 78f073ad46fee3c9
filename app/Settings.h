// The process-wide connection of the current cycle and where its settings
// come from. MainOdbc exists from a successful OpenDatabase to the end of the
// same cycle (TKestrel::CloseDatabase); between cycles it is empty.
#pragma once

#include <memory>
#include <string>

#include "odbc/Connection.h"

namespace tidewell {

extern std::unique_ptr<TODBC> MainOdbc;

inline constexpr const char* SettingsFileName = "mysqlconn.ini";
inline constexpr const char* SettingsSection = "MySQL";
inline constexpr const char* DefaultDataBase = "marrowby";
inline constexpr const char* DefaultDriver = "MySQL ODBC 3.51 Driver";
// Put after "SERVER=" and the build's server in the default Custom value: a
// server that accepts and never answers must not hold a cycle (MariaDB
// Connector/ODBC ignores the login timeout; these are its own, in seconds).
inline constexpr const char* DefaultTimeouts = ";CONN_TIMEOUT=5;READ_TIMEOUT=60;WRITE_TIMEOUT=60";

// The settings file in the given folder (the executable's folder when empty).
std::string SettingsPath(const std::string& folder);

struct TConnectSettings;
// The connection settings as a cycle reads them from that file: a missing
// file, section or key is not an error, each value has its default.
TConnectSettings ReadConnectSettings(const std::string& path);

// The service's own account and group (the package creates them); a unit
// runs the service as that user when it exists.
inline constexpr const char* ServiceAccount = "tidewell";

}  // namespace tidewell
