#include "odbc/Connection.h"

#include <algorithm>
#include <cstring>

#include "common/Text.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/IniFile.h"

namespace tidewell {

const std::array<std::string_view, 8> LostStates = {"08001", "08002", "08003", "08004",
                                                    "08005", "08006", "08007", "08S01"};
const std::array<std::string_view, 1> LostMessages = {"UNABLE TO COMPLETE NETWORK REQUEST TO HOST"};

namespace {

// Driver names and descriptions, searched in this order: the first keyword
// found decides, so "MySQL ... SQL Server" is MySQL.
struct TKindKeyword {
  const char* Keyword;
  TodDriverKind Kind;
};
constexpr TKindKeyword KindKeywords[] = {
    {"oracle", dkOracle},          {"firebird", dkFirebird}, {"mysql", dkMySql},
    {"sql server", dkSqlServer},   {"sql native client", dkSqlServer},
    {"codebase", dkCodeBase},      {"foxpro", dkDbf},        {"dbf", dkDbf},
    {"access", dkAccess},          {"excel", dkExcel},
};

SQLCHAR* Text(const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); }

std::string FromBuffer(const SQLCHAR* buffer, std::size_t capacity) {
  const char* p = reinterpret_cast<const char*>(buffer);
  return std::string(p, strnlen(p, capacity));
}

}  // namespace

TODBC::TODBC() {
  if (!BindDriverManager()) return;
  FLibrary = DriverManagerHandle;
  if (!OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &EnvHandle))) {
    EnvHandle = SQL_NULL_HENV;
    return;
  }
  Odbc.SQLSetEnvAttr(EnvHandle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

TODBC::~TODBC() {
  Disconnect();
  Statements.clear();
  if (!IsBound()) return;
  if (EnvHandle != SQL_NULL_HENV) Odbc.SQLFreeHandle(SQL_HANDLE_ENV, EnvHandle);
  EnvHandle = SQL_NULL_HENV;
  ReleaseDriverManager(FLibrary);
  FLibrary = nullptr;
}

bool TODBC::Connect(const std::string& Dsn, const std::string& User, const std::string& Password,
                    const std::string& Database, bool ManualCommit, const std::string& Driver,
                    const std::string& Extra) {
  if (Connected) return true;
  if (!IsBound() || EnvHandle == SQL_NULL_HENV) return false;
  if (!OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_DBC, EnvHandle, &ConnHandle))) {
    ConnHandle = SQL_NULL_HDBC;
    return false;
  }

  ReportResult(Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0));
  DetectDriverKind(Driver);
  if (!Database.empty() && DriverKind != dkCodeBase)
    ReportResult(Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_CURRENT_CATALOG, Text(Database), SQL_NTS));
  Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE),
                         SQL_IS_UINTEGER);
  if (ManualCommit)
    ReportResult(Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_AUTOCOMMIT,
                                        reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_INTEGER));
  ReportResult(Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_ODBC_CURSORS,
                                      reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_IF_NEEDED), SQL_IS_INTEGER));

  // A login by name that fails stays silent: the connection string gets its
  // chance, and only its failure is reported.
  SQLRETURN ret = SQL_ERROR;
  if (!Dsn.empty())
    ret = Odbc.SQLConnect(ConnHandle, Text(Dsn), SQL_NTS, Text(User), SQL_NTS, Text(Password), SQL_NTS);
  if (OdbcSucceeded(ret)) {
    ConnectString = FindDataSource(Dsn);
  } else {
    const std::string connStr = BuildConnectString(Dsn, User, Password, Database, Driver, Extra);
    SQLCHAR out[1024] = {};
    SQLSMALLINT outLen = 0;
    ret = Odbc.SQLDriverConnect(ConnHandle, nullptr, Text(connStr), SQL_NTS, out, 1023, &outLen,
                                SQL_DRIVER_NOPROMPT);
    const std::size_t kept = outLen > 0 ? std::min<std::size_t>(static_cast<std::size_t>(outLen), 1022) : 0;
    ConnectString = FromBuffer(out, kept);
  }

  if (!OdbcSucceeded(ret)) {
    DriverKind = dkOther;
    ReportResult(ret);
    Odbc.SQLFreeHandle(SQL_HANDLE_DBC, ConnHandle);
    ConnHandle = SQL_NULL_HDBC;
    return false;
  }

  DetectDriverKind(ConnectString);

  // Values are read in place with SQLGetData only when the driver allows any
  // column in any order and can refresh the current row (which a second read
  // of one column needs); otherwise every column is bound to a buffer.
  SQLUINTEGER extensions = 0;
  ReportResult(Odbc.SQLGetInfo(ConnHandle, SQL_GETDATA_EXTENSIONS, &extensions, sizeof extensions, nullptr));
  BindColumns = !((extensions & SQL_GD_ANY_COLUMN) && (extensions & SQL_GD_ANY_ORDER));
  if (!BindColumns) {
    SQLUINTEGER scroll = 0;
    ReportResult(Odbc.SQLGetInfo(ConnHandle, SQL_SCROLL_OPTIONS, &scroll, sizeof scroll, nullptr));
    SQLUSMALLINT infoType = SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1;
    if (scroll & SQL_SO_DYNAMIC)
      infoType = SQL_DYNAMIC_CURSOR_ATTRIBUTES1;
    else if ((scroll & SQL_SO_KEYSET_DRIVEN) && DriverKind != dkOracle && DriverKind != dkMySql)
      infoType = SQL_KEYSET_CURSOR_ATTRIBUTES1;
    SQLUINTEGER attributes = 0;
    ReportResult(Odbc.SQLGetInfo(ConnHandle, infoType, &attributes, sizeof attributes, nullptr));
    BindColumns = !(attributes & SQL_CA1_POS_REFRESH);
  }

  Connected = true;
  ConnectionLost = false;
  return true;
}

std::string TODBC::BuildConnectString(const std::string& Dsn, const std::string& User,
                                      const std::string& Password, const std::string& Database,
                                      const std::string& Driver, const std::string& Extra) {
  std::string connStr;
  if (!Dsn.empty() && platform::FileExists(Dsn)) connStr = ReadFileDsn(Dsn);
  if (connStr.empty()) {
    AddConnectPair(connStr, "DSN", Dsn);
    AddConnectPair(connStr, "DRIVER", "{" + Driver + "}");
    const char* databaseKey = DriverKind == dkOracle || DriverKind == dkCodeBase ? "DBQ"
                              : DriverKind == dkDbf                              ? "SourceDB"
                                                                                 : "Database";
    AddConnectPair(connStr, databaseKey, Database);
  }
  AddConnectPair(connStr, "UID", User);
  AddConnectPair(connStr, "PWD", Password);
  if (!Extra.empty()) {
    if (!connStr.empty()) connStr += ";";
    connStr += Extra;
  }
  return connStr;
}

void TODBC::Disconnect() {
  // Releasing a statement clears its own slot; the array keeps its length.
  for (std::size_t i = 0; i < Statements.size(); ++i)
    if (Statements[i]) Statements[i]->Detach();

  if (!Connected) return;
  Odbc.SQLEndTran(SQL_HANDLE_DBC, ConnHandle, SQL_COMMIT);
  ReportResult(Odbc.SQLDisconnect(ConnHandle));
  ReportResult(Odbc.SQLFreeHandle(SQL_HANDLE_DBC, ConnHandle));
  ConnHandle = SQL_NULL_HDBC;
  Connected = false;
  ConnectionLost = false;
}

bool TODBC::SetAutoCommit(bool On) {
  if (!Connected) return false;
  const SQLRETURN ret =
      Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(On ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), SQL_IS_INTEGER);
  ReportResult(ret);
  return OdbcSucceeded(ret);
}

bool TODBC::PreferReadCommitted() {
  if (!Connected) return false;
  return OdbcSucceeded(Odbc.SQLSetConnectAttr(ConnHandle, SQL_ATTR_TXN_ISOLATION,
                                              reinterpret_cast<SQLPOINTER>(SQL_TXN_READ_COMMITTED), SQL_IS_INTEGER));
}

bool TODBC::EndTransaction(bool Commit) {
  if (!Connected) return false;
  const SQLRETURN ret = Odbc.SQLEndTran(SQL_HANDLE_DBC, ConnHandle, Commit ? SQL_COMMIT : SQL_ROLLBACK);
  ReportResult(ret);
  return OdbcSucceeded(ret);
}

std::string TODBC::FindDataSource(const std::string& Name) {
  if (!IsBound() || EnvHandle == SQL_NULL_HENV) return Name;
  SQLCHAR name[256], description[256];
  SQLSMALLINT nameLen = 0, descriptionLen = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    name[0] = description[0] = 0;
    const SQLRETURN ret =
        Odbc.SQLDataSources(EnvHandle, direction, name, 255, &nameLen, description, 255, &descriptionLen);
    if (!OdbcSucceeded(ret)) return Name;
    if (FromBuffer(name, sizeof name) == Name) return FromBuffer(description, sizeof description);
    direction = SQL_FETCH_NEXT;
  }
}

void TODBC::DetectDriverKind(const std::string& Text) {
  const std::string lower = LowerCase(Text);
  for (const auto& k : KindKeywords) {
    if (lower.find(k.Keyword) != std::string::npos) {
      DriverKind = k.Kind;
      return;
    }
  }
}

std::string TODBC::ReadFileDsn(const std::string& Path) {
  const platform::TIniFile ini(Path);
  std::string result;
  for (const auto& key : ini.ReadSection("ODBC")) {
    std::string value = ini.ReadString("ODBC", key, "");
    if (value.find(' ') != std::string::npos && UpperCase(key) == "DRIVER") value = "{" + value + "}";
    if (!result.empty()) result += ";";
    result += key + "=" + value;
  }
  return result;
}

void TODBC::ReportResult(SQLRETURN Ret) {
  if (!ReportErrors || OdbcSucceeded(Ret)) return;
  std::string text;
  for (SQLSMALLINT rec = 1; GetDiagnostic(rec, text); ++rec) {
    if (Log)
      Log->Flush(text);
    else
      platform::ShowMessageBox("ODBC Error: " + text, "", platform::TBoxKind::Error);
  }
}

bool TODBC::GetDiagnostic(SQLSMALLINT RecNumber, std::string& Text) {
  Text.clear();
  if (ConnHandle == SQL_NULL_HDBC || !IsBound()) return false;
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[513] = {};
  SQLSMALLINT length = 0;
  SQLRETURN ret = Odbc.SQLGetDiagRec(SQL_HANDLE_DBC, ConnHandle, RecNumber, state, &native, message, 512, &length);
  std::string stateText;
  bool result = false;
  if (OdbcSucceeded(ret)) {
    stateText = FromBuffer(state, sizeof state);
    // Some drivers put a generic text into the record of a general error
    // and the real one into the message field.
    if (stateText == "HY000")
      ret = Odbc.SQLGetDiagField(SQL_HANDLE_DBC, ConnHandle, RecNumber, SQL_DIAG_MESSAGE_TEXT, message, 512, &length);
    if (OdbcSucceeded(ret) && stateText != "IM001") {
      Text = FromBuffer(message, 512) + ". State:  " + stateText;
      result = true;
    }
  }
  CheckConnectionLost(*this, stateText, Text);
  return result;
}

void AddConnectPair(std::string& ConnStr, const std::string& Key, const std::string& Value) {
  if (Value.empty()) return;
  if (!ConnStr.empty()) ConnStr += ";";
  ConnStr += Key + "=" + Value;
}

void CheckConnectionLost(TODBC& Connection, const std::string& State, const std::string& Text) {
  if (Connection.ConnectionLost) return;
  for (const auto& s : LostStates) {
    if (State == s) {
      Connection.ConnectionLost = true;
      return;
    }
  }
  const std::string upper = UpperCase(Text);
  for (const auto& m : LostMessages) {
    if (upper.find(m) != std::string::npos) {
      Connection.ConnectionLost = true;
      return;
    }
  }
}

}  // namespace tidewell
