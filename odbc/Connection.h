// TODBC: one ODBC environment and at most one database connection.
//
// Usage: construct, set Log and ReportErrors (and, if wanted, the other
// public options), Connect, create statements on it (Statement.h), destroy.
// The connection logs in by data-source name, else by a file data source or a
// built connection string; it records what the statement layer needs to know
// about the driver, keeps the registry of its live statements, reports ODBC
// diagnostics, and raises ConnectionLost when a diagnostic says the link to
// the server is gone (it never acts on that flag itself).
//
// A connection and its statements belong to the thread that created them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "odbc/Binding.h"

namespace tidewell {

class TMessLog;
class TODBCStatement;

// Kind of database and driver, found from the driver's name or description.
enum TodDriverKind : std::uint8_t {
  dkOther = 0,
  dkOracle = 1,
  dkMySql = 2,
  dkDbf = 3,
  dkFirebird = 4,
  dkAccess = 5,
  dkExcel = 6,
  dkSqlServer = 7,
  dkCodeBase = 8,
};

// SQLSTATEs and message fragments that mean the link to the server is gone.
extern const std::array<std::string_view, 8> LostStates;
extern const std::array<std::string_view, 1> LostMessages;

// An ODBC return code counts as success only as SQL_SUCCESS or
// SQL_SUCCESS_WITH_INFO; SQL_NO_DATA and everything else is a failure.
inline bool OdbcSucceeded(SQLRETURN ret) { return ret == SQL_SUCCESS || ret == SQL_SUCCESS_WITH_INFO; }

class TODBC {
 public:
  TODBC();
  virtual ~TODBC();
  TODBC(const TODBC&) = delete;
  TODBC& operator=(const TODBC&) = delete;

  SQLHENV EnvHandle = SQL_NULL_HENV;
  SQLHDBC ConnHandle = SQL_NULL_HDBC;
  // Receives diagnostics; without one they go to an error message box.
  TMessLog* Log = nullptr;
  // Called while a statement waits for its execution, so the service can
  // answer control requests meanwhile (handles what is queued, never waits).
  std::function<void()> ServiceThread;
  // Asked while a login or a statement is under way: true means the service
  // is stopping. A login is then given up at once (nothing is in hand yet);
  // a statement still running StopGraceMs after that is cancelled.
  std::function<bool()> StopWanted;
  std::uint32_t StopGraceMs = 2000;
  // Statements made on this connection bind their columns to text buffers
  // instead of reading each value with SQLGetData; set by Connect.
  bool BindColumns = false;
  // Statements describe columns with SQLDescribeCol instead of SQLColAttribute.
  bool UseDescribeCol = false;
  // When false, no failure of this connection or its statements is reported.
  bool ReportErrors = false;
  // A SELECT whose first fetch finds no row still counts as success.
  bool AcceptEmptyResult = false;
  // Live statements; a null slot is free. The array never shrinks.
  std::vector<TODBCStatement*> Statements;
  bool Connected = false;
  bool ConnectionLost = false;
  // After login: the driver's completed connection string, or the driver
  // description of the data source logged in by name.
  std::string ConnectString;
  TodDriverKind DriverKind = dkOther;
  // Times a statement had to wait for another statement's call on this
  // connection to return before making its own (see Statement.cpp).
  std::uint32_t SerialisedWaits = 0;
  // Slow-operation threshold for the statements' timing lines; 0 = off.
  std::uint32_t TimeOverMs = 0;

  // Logs in; true when connected. A connection already connected returns
  // true at once without touching anything.
  bool Connect(const std::string& Dsn, const std::string& User, const std::string& Password,
               const std::string& Database, bool ManualCommit, const std::string& Driver,
               const std::string& Extra);
  // Releases every registered statement, then commits and logs out.
  void Disconnect();
  // Switches automatic commit on or off; with it off, changes wait for
  // EndTransaction. Failures are reported; false then.
  bool SetAutoCommit(bool On);
  // Commits (or rolls back) the changes made since the last end. A failure
  // is reported; a commit whose answer never came may or may not have
  // happened (ConnectionLost tells).
  bool EndTransaction(bool Commit);
  // Asks for the read-committed isolation level, so that a transaction holds
  // locks on the rows it changed only (no gap locks, no locks on rows it
  // merely passed). Quiet: a driver without it keeps its own.
  bool PreferReadCommitted();

  // Driver description of the data source named exactly Name, else Name.
  std::string FindDataSource(const std::string& Name);
  // Names the driver manager knows: its registered drivers and its data
  // sources (user and system). Empty while unbound.
  std::vector<std::string> DriverNames();
  std::vector<std::string> DataSourceNames();
  // Sets DriverKind from the first known keyword in Text; unchanged if none.
  void DetectDriverKind(const std::string& Text);
  // Pairs of section [ODBC] of a file data source, as a connection string.
  std::string ReadFileDsn(const std::string& Path);
  // Reports the connection handle's diagnostics when Ret is a failure.
  void ReportResult(SQLRETURN Ret);
  // Text of diagnostic record RecNumber (from 1) of the connection handle.
  bool GetDiagnostic(SQLSMALLINT RecNumber, std::string& Text);

  // False while the driver manager could not be bound: then no ODBC call may
  // be made through this object or its statements.
  bool IsBound() const { return FLibrary != nullptr; }

  // The connection string Connect builds for a login without a data source.
  std::string BuildConnectString(const std::string& Dsn, const std::string& User, const std::string& Password,
                                 const std::string& Database, const std::string& Driver,
                                 const std::string& Extra);

 private:
  // Runs the login call; when StopWanted turns true first, leaves it to
  // finish on its own thread, which then frees the handles, and gives
  // SQL_ERROR.
  SQLRETURN Login(const std::string& Dsn, const std::string& User, const std::string& Password,
                  const std::string& ConnStr, std::string& Completed);

  platform::TLibraryHandle FLibrary = nullptr;
};

// Appends ";Key=Value" (no ";" on an empty string); nothing for an empty Value.
// The value stays one value whatever it holds (ConnectValue).
void AddConnectPair(std::string& ConnStr, const std::string& Key, const std::string& Value);
// A value as a connection string holds it: as it is, or in braces when it
// holds one of []{}(),;?*=!@ or starts or ends with a blank; inside braces
// every "}" is doubled.
std::string ConnectValue(const std::string& Value);
// Value with every "}" doubled (for the inside of braces).
std::string BraceEscaped(const std::string& Value);
// The attributes of a connection string, split at the ";" outside braces.
std::vector<std::string> SplitConnectAttributes(const std::string& ConnStr);
// An attribute's key, upper-cased and trimmed, with the common synonyms
// made one (USER is UID, PASSWORD is PWD, DB is DATABASE); empty without "=".
std::string ConnectKeyName(const std::string& Attribute);

// Sets Connection.ConnectionLost when State or Text shows a lost link.
void CheckConnectionLost(TODBC& Connection, const std::string& State, const std::string& Text);

// Reads diagnostic record RecNumber of a handle: its state and message (for
// a general error, HY000, the message field, which some drivers fill with
// the real text). The result of the driver manager's call; State is empty
// when there is no such record. Native, when given, gets the driver's own
// error code (for a database server, usually the server's error number).
SQLRETURN ReadDiagRecord(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber, std::string& State,
                         std::string& Message, SQLINTEGER* Native = nullptr);

}  // namespace tidewell
