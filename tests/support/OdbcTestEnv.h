// The ODBC test environment that scripts/testdb sets up: a MariaDB server on
// loopback registered under the production driver name, the SQLite3 driver,
// and a private ODBC registry. Every helper here fails the calling test when
// the environment is missing, so a run without the server can't pass quietly.
//
// Setup and inspection go through the driver manager directly (this file
// links it), never through the code under test.
#pragma once

#include <string>
#include <vector>

namespace tidewell::test {

// Value of a variable written by scripts/testdb (adds a failure when unset).
std::string TestDbEnv(const char* name);

struct TMariaServer {
  std::string Port, Socket, User, Password, Database;
};
TMariaServer MariaServer();

// The driver names registered in the private odbcinst.ini.
inline constexpr const char* MariaDriver = "MySQL ODBC 3.51 Driver";
inline constexpr const char* SqliteDriver = "SQLite3";
// Data sources of the private odbc.ini.
inline constexpr const char* MariaDsn = "TidewellMaria";

// Connection attributes that reach the test server, in the form of the
// service's Custom setting.
std::string MariaExtra();

// A database of its own for one test, on the MariaDB server (dropped again
// when the object goes away) or as an SQLite file in a temporary folder.
class TScratchDatabase {
 public:
  enum TKind { Maria, Sqlite };
  explicit TScratchDatabase(TKind kind);
  ~TScratchDatabase();
  TScratchDatabase(const TScratchDatabase&) = delete;
  TScratchDatabase& operator=(const TScratchDatabase&) = delete;

  TKind Kind() const { return FKind; }
  // Arguments for TODBC::Connect with an empty Dsn.
  const std::string& Name() const { return FName; }
  std::string Driver() const;
  std::string User() const;
  std::string Password() const;
  std::string Extra() const;
  // A full connection string for the raw helpers below.
  std::string ConnectString() const;

  // Runs statements through a connection of its own; fails the test on error.
  void Exec(const std::vector<std::string>& sql) const;
  // First column of every row of a query, as text ("NULL" for NULL).
  std::vector<std::string> Column(const std::string& sql) const;

 private:
  TKind FKind;
  std::string FName;
  std::string FFolder;
};

// Runs one statement on a fresh connection; returns false (and the driver's
// message in error) when it fails.
bool RawExec(const std::string& connectString, const std::string& sql, std::string* error = nullptr);

}  // namespace tidewell::test
