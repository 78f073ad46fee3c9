#include "odbc/Connection.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

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
  std::string completed;
  SQLRETURN ret = SQL_ERROR;
  if (!Dsn.empty()) ret = Login(Dsn, User, Password, std::string(), completed);
  if (OdbcSucceeded(ret)) {
    ConnectString = FindDataSource(Dsn);
  } else if (ConnHandle != SQL_NULL_HDBC) {
    ret = Login(std::string(), std::string(), std::string(),
                BuildConnectString(Dsn, User, Password, Database, Driver, Extra), completed);
    ConnectString = completed;
  }
  if (ConnHandle == SQL_NULL_HDBC) {
    // Given up for a stop: the login thread owns the handles now.
    DriverKind = dkOther;
    if (Log) Log->Add("Login abandoned: the service is stopping");
    return false;
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
    // Always there, as DRIVER={} when the name is empty.
    if (!connStr.empty()) connStr += ";";
    connStr += "DRIVER={";
    connStr += BraceEscaped(Driver);
    connStr += '}';
    const char* databaseKey = DriverKind == dkOracle || DriverKind == dkCodeBase ? "DBQ"
                              : DriverKind == dkDbf                              ? "SourceDB"
                                                                                 : "Database";
    AddConnectPair(connStr, databaseKey, Database);
  }
  AddConnectPair(connStr, "UID", User);
  AddConnectPair(connStr, "PWD", Password);
  if (!Extra.empty()) {
    // The extra attributes go as they are, but one the string has already
    // would make the driver choose between two values (and an error line
    // name a user that is not the one tried): the settings' value stays,
    // the repeat goes, and the log says so. Values are never logged.
    std::vector<std::string> given;
    for (const auto& a : SplitConnectAttributes(connStr)) given.push_back(ConnectKeyName(a));
    std::string kept, dropped;
    for (const auto& attribute : SplitConnectAttributes(Extra)) {
      const std::string key = ConnectKeyName(attribute);
      const bool repeat = !key.empty() && std::find(given.begin(), given.end(), key) != given.end();
      if (repeat) {
        dropped += (dropped.empty() ? "" : ", ") + Trim(attribute.substr(0, attribute.find('=')));
        continue;
      }
      kept += (kept.empty() ? "" : ";") + attribute;
    }
    if (!dropped.empty() && Log)
      Log->Add("Custom setting repeats " + dropped +
               ", which the other settings give already; the other settings' value is used");
    if (!kept.empty()) {
      if (!connStr.empty()) connStr += ";";
      connStr += kept;
    }
  }
  return connStr;
}

namespace {

// One login call and what it needs, shared by the caller and the thread that
// makes the call. When the caller gives up, the thread finishes alone and
// frees the handles and the library load it was left.
struct TLoginCall {
  TOdbcEntries Entries;
  SQLHENV Env = SQL_NULL_HENV;
  SQLHDBC Dbc = SQL_NULL_HDBC;
  platform::TLibraryHandle Library = nullptr;
  std::string Dsn, User, Password, ConnStr;
  SQLCHAR Out[1024] = {};
  SQLSMALLINT OutLen = 0;
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  bool Abandoned = false;
  SQLRETURN Ret = SQL_ERROR;

  SQLRETURN Call() {
    if (!ConnStr.empty())
      return Entries.SQLDriverConnect(Dbc, nullptr, Text(ConnStr), SQL_NTS, Out, 1023, &OutLen, SQL_DRIVER_NOPROMPT);
    return Entries.SQLConnect(Dbc, Text(Dsn), SQL_NTS, Text(User), SQL_NTS, Text(Password), SQL_NTS);
  }
  void Abandon() {
    if (OdbcSucceeded(Ret)) Entries.SQLDisconnect(Dbc);
    Entries.SQLFreeHandle(SQL_HANDLE_DBC, Dbc);
    Entries.SQLFreeHandle(SQL_HANDLE_ENV, Env);
    ReleaseDriverManager(Library);
  }
};

}  // namespace

SQLRETURN TODBC::Login(const std::string& Dsn, const std::string& User, const std::string& Password,
                       const std::string& ConnStr, std::string& Completed) {
  auto call = std::make_shared<TLoginCall>();
  call->Entries = Odbc;
  call->Env = EnvHandle;
  call->Dbc = ConnHandle;
  call->Dsn = Dsn;
  call->User = User;
  call->Password = Password;
  call->ConnStr = ConnStr;
  const auto kept = [&call] {
    const std::size_t n = call->OutLen > 0 ? std::min<std::size_t>(static_cast<std::size_t>(call->OutLen), 1022) : 0;
    return FromBuffer(call->Out, n);
  };
  if (!StopWanted) {
    const SQLRETURN ret = call->Call();
    Completed = kept();
    return ret;
  }
  // A server that accepts and never answers holds a login for as long as the
  // driver lets it; the stop must not wait for that.
  std::thread([call] {
    const SQLRETURN ret = call->Call();
    std::lock_guard<std::mutex> lock(call->Lock);
    call->Ret = ret;
    call->Finished = true;
    if (call->Abandoned)
      call->Abandon();
    else
      call->Done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(call->Lock);
  while (!call->Done.wait_for(lock, std::chrono::milliseconds(50), [&] { return call->Finished; })) {
    if (!StopWanted()) continue;
    call->Abandoned = true;
    call->Library = FLibrary;
    FLibrary = nullptr;
    EnvHandle = SQL_NULL_HENV;
    ConnHandle = SQL_NULL_HDBC;
    return SQL_ERROR;
  }
  Completed = kept();
  return call->Ret;
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

std::vector<std::string> TODBC::DriverNames() {
  std::vector<std::string> names;
  if (!IsBound() || EnvHandle == SQL_NULL_HENV) return names;
  SQLCHAR name[256], attributes[1024];
  SQLSMALLINT nameLen = 0, attributesLen = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
    name[0] = 0;
    if (!OdbcSucceeded(Odbc.SQLDrivers(EnvHandle, direction, name, 255, &nameLen, attributes,
                                       static_cast<SQLSMALLINT>(sizeof attributes - 1), &attributesLen)))
      return names;
    names.push_back(FromBuffer(name, sizeof name));
  }
}

std::vector<std::string> TODBC::DataSourceNames() {
  std::vector<std::string> names;
  if (!IsBound() || EnvHandle == SQL_NULL_HENV) return names;
  SQLCHAR name[256], description[256];
  SQLSMALLINT nameLen = 0, descriptionLen = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
    name[0] = 0;
    if (!OdbcSucceeded(
            Odbc.SQLDataSources(EnvHandle, direction, name, 255, &nameLen, description, 255, &descriptionLen)))
      return names;
    names.push_back(FromBuffer(name, sizeof name));
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
  std::string state, message;
  const bool result =
      OdbcSucceeded(ReadDiagRecord(SQL_HANDLE_DBC, ConnHandle, RecNumber, state, message)) && state != "IM001";
  if (result) Text = message + ". State:  " + state;
  CheckConnectionLost(*this, state, Text);
  return result;
}

SQLRETURN ReadDiagRecord(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber, std::string& State,
                         std::string& Message, SQLINTEGER* Native) {
  State.clear();
  Message.clear();
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[513] = {};
  SQLSMALLINT length = 0;
  SQLRETURN ret = Odbc.SQLGetDiagRec(HandleType, Handle, RecNumber, state, &native, message, 512, &length);
  if (!OdbcSucceeded(ret)) return ret;
  if (Native) *Native = native;
  State = FromBuffer(state, sizeof state);
  if (State == "HY000") {
    // Some drivers put a generic text into the record of a general error
    // and the real one into the message field.
    message[0] = 0;
    ret = Odbc.SQLGetDiagField(HandleType, Handle, RecNumber, SQL_DIAG_MESSAGE_TEXT, message, 512, &length);
  }
  if (OdbcSucceeded(ret)) Message = FromBuffer(message, 512);
  return ret;
}

namespace {

// Characters that make a value need braces in a connection string, by the
// ODBC rules; blanks at either end too, since drivers trim them.
bool NeedsBraces(const std::string& value) {
  if (value.find_first_of("[]{}(),;?*=!@") != std::string::npos) return true;
  return value.front() == ' ' || value.back() == ' ' || value.front() == '\t' || value.back() == '\t';
}

}  // namespace

std::string BraceEscaped(const std::string& Value) {
  std::string out;
  for (const char c : Value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out;
}

std::string ConnectValue(const std::string& Value) {
  if (Value.empty() || !NeedsBraces(Value)) return Value;
  // Built by appending: GCC's optimiser warns falsely about "{" + text.
  std::string braced(1, '{');
  braced += BraceEscaped(Value);
  braced += '}';
  return braced;
}

std::vector<std::string> SplitConnectAttributes(const std::string& ConnStr) {
  std::vector<std::string> parts;
  std::string current;
  bool braced = false;
  for (size_t i = 0; i < ConnStr.size(); ++i) {
    const char c = ConnStr[i];
    if (braced) {
      current += c;
      if (c == '}') {
        if (i + 1 < ConnStr.size() && ConnStr[i + 1] == '}') {
          current += '}';
          ++i;
        } else {
          braced = false;
        }
      }
    } else if (c == ';') {
      if (!Trim(current).empty()) parts.push_back(current);
      current.clear();
    } else {
      // A brace opens a value only right after the "=" (blanks aside).
      const size_t eq = current.find('=');
      if (c == '{' && eq != std::string::npos && Trim(current.substr(eq + 1)).empty()) braced = true;
      current += c;
    }
  }
  if (!Trim(current).empty()) parts.push_back(current);
  return parts;
}

std::string ConnectKeyName(const std::string& Attribute) {
  const size_t eq = Attribute.find('=');
  if (eq == std::string::npos) return "";
  const std::string key = UpperCase(Trim(Attribute.substr(0, eq)));
  // The names drivers take for the same thing.
  if (key == "USER") return "UID";
  if (key == "PASSWORD") return "PWD";
  if (key == "DB") return "DATABASE";
  return key;
}

void AddConnectPair(std::string& ConnStr, const std::string& Key, const std::string& Value) {
  if (Value.empty()) return;
  if (!ConnStr.empty()) ConnStr += ";";
  ConnStr += Key + "=" + ConnectValue(Value);
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
