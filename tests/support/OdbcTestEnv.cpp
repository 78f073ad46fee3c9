#include "tests/support/OdbcTestEnv.h"

#include <gtest/gtest.h>
#include "platform/SqlHeaders.h"
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>

// MariaDB Connector/ODBC keeps a few strings of each connection that it never
// frees; that is the driver's business, not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libmaodbc.so\n"; }

namespace tidewell::test {

std::string TestDbEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) {
    ADD_FAILURE() << name << " is not set: run the tests through scripts/test, or start the server with "
                  << "scripts/testdb start DIR and source DIR/env.sh";
    return {};
  }
  return value;
}

TMariaServer MariaServer() {
  return {TestDbEnv("TIDEWELL_TEST_MARIADB_PORT"), TestDbEnv("TIDEWELL_TEST_MARIADB_SOCKET"),
          TestDbEnv("TIDEWELL_TEST_MARIADB_USER"), TestDbEnv("TIDEWELL_TEST_MARIADB_PASSWORD"),
          TestDbEnv("TIDEWELL_TEST_MARIADB_DATABASE")};
}

std::string MariaExtra() {
  return "SERVER=127.0.0.1;PORT=" + MariaServer().Port + ";CONN_TIMEOUT=5";
}

namespace {

// One raw ODBC connection, for setup and inspection only.
class TRaw {
 public:
  explicit TRaw(const std::string& connectString) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &Env);
    SQLSetEnvAttr(Env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, Env, &Dbc);
    SQLRETURN ret = SQLDriverConnect(Dbc, nullptr, (SQLCHAR*)connectString.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                     SQL_DRIVER_NOPROMPT);
    Connected = SQL_SUCCEEDED(ret);
    if (!Connected) Error = Diag(SQL_HANDLE_DBC, Dbc);
  }
  ~TRaw() {
    if (Connected) SQLDisconnect(Dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, Dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, Env);
  }
  static std::string Diag(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {}, message[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &len)))
      return "(no diagnostics)";
    return std::string((char*)message) + " [" + (char*)state + "]";
  }
  bool Exec(const std::string& sql, std::vector<std::string>* column, std::string* error) {
    if (!Connected) {
      if (error) *error = Error;
      return false;
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, Dbc, &stmt);
    SQLRETURN ret = SQLExecDirect(stmt, (SQLCHAR*)sql.c_str(), SQL_NTS);
    bool ok = SQL_SUCCEEDED(ret) || ret == SQL_NO_DATA;
    if (!ok && error) *error = Diag(SQL_HANDLE_STMT, stmt);
    while (ok && column && SQL_SUCCEEDED(SQLFetch(stmt))) {
      char buf[4096] = {};
      SQLLEN ind = 0;
      SQLGetData(stmt, 1, SQL_C_CHAR, buf, sizeof buf, &ind);
      column->push_back(ind == SQL_NULL_DATA ? "NULL" : buf);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return ok;
  }
  SQLHENV Env = SQL_NULL_HENV;
  SQLHDBC Dbc = SQL_NULL_HDBC;
  bool Connected = false;
  std::string Error;
};

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  return std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + std::to_string(rd() % 100000);
}

std::string MariaRootString(const std::string& database) {
  const TMariaServer s = MariaServer();
  return std::string("DRIVER={") + MariaDriver + "};SERVER=127.0.0.1;PORT=" + s.Port + ";UID=" + s.User +
         ";PWD=" + s.Password + (database.empty() ? "" : ";DATABASE=" + database) + ";CONN_TIMEOUT=5";
}

}  // namespace

bool RawExec(const std::string& connectString, const std::string& sql, std::string* error) {
  TRaw raw(connectString);
  return raw.Exec(sql, nullptr, error);
}

TScratchDatabase::TScratchDatabase(TKind kind) : FKind(kind) {
  if (kind == Maria) {
    // Names the server grants to the test user: tw_ and a unique suffix, so
    // test processes running side by side never share tables.
    FName = "tw_" + UniqueSuffix();
    std::string error;
    EXPECT_TRUE(RawExec(MariaRootString(""), "CREATE DATABASE " + FName, &error)) << error;
  } else {
    FFolder = (std::filesystem::temp_directory_path() / ("tidewell-sqlite-" + UniqueSuffix())).string();
    std::filesystem::create_directories(FFolder);
    FName = FFolder + "/test.db";
  }
}

TScratchDatabase::~TScratchDatabase() {
  if (FKind == Maria) {
    RawExec(MariaRootString(""), "DROP DATABASE IF EXISTS " + FName);
  } else {
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
  }
}

std::string TScratchDatabase::Driver() const { return FKind == Maria ? MariaDriver : SqliteDriver; }
std::string TScratchDatabase::User() const { return FKind == Maria ? MariaServer().User : ""; }
std::string TScratchDatabase::Password() const { return FKind == Maria ? MariaServer().Password : ""; }
std::string TScratchDatabase::Extra() const { return FKind == Maria ? MariaExtra() : ""; }

std::string TScratchDatabase::ConnectString() const {
  if (FKind == Maria) return MariaRootString(FName);
  return std::string("DRIVER={") + SqliteDriver + "};Database=" + FName;
}

void TScratchDatabase::Exec(const std::vector<std::string>& sql) const {
  TRaw raw(ConnectString());
  for (const auto& s : sql) {
    std::string error;
    EXPECT_TRUE(raw.Exec(s, nullptr, &error)) << s << ": " << error;
  }
}

std::vector<std::string> TScratchDatabase::Column(const std::string& sql) const {
  TRaw raw(ConnectString());
  std::vector<std::string> column;
  std::string error;
  EXPECT_TRUE(raw.Exec(sql, &column, &error)) << sql << ": " << error;
  return column;
}

}  // namespace tidewell::test
