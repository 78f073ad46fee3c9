#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "odbc/ODBC.h"
#include "tests/odbc/OdbcTestLog.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;
using tidewell::test::TTestLog;
using tidewell::test::WriteFile;

namespace {

// Points the binding at another library for one test.
class TLibraryOverride {
 public:
  explicit TLibraryOverride(const std::string& name) : FSaved(DriverManagerLibrary) { DriverManagerLibrary = name; }
  ~TLibraryOverride() { DriverManagerLibrary = FSaved; }

 private:
  std::string FSaved;
};

bool LibraryLoaded(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

bool ConnectTo(TODBC& c, const TScratchDatabase& db) {
  return c.Connect("", db.User(), db.Password(), db.Name(), false, db.Driver(), db.Extra());
}

bool StatementWorks(TODBC& c) {
  TODBCStatement s(&c, true, false);
  return s.ExecSQL("select 1") && s.FieldAsInteger("1") == 1;
}

std::string BuiltString(const std::string& dsn, const std::string& user, const std::string& password,
                        const std::string& database, const std::string& driver, const std::string& extra) {
  TODBC c;
  c.DetectDriverKind(driver);
  return c.BuildConnectString(dsn, user, password, database, driver, extra);
}

}  // namespace

// -- binding the driver manager ---------------------------------------------

TEST(DriverManagerBinding, MissingLibraryLeavesAnUnboundConnectionThatRefusesToConnect) {
  TLibraryOverride lib("libtidewell-no-such-driver-manager.so.9");
  EXPECT_FALSE(BindDriverManager());
  TODBC c;
  EXPECT_FALSE(c.IsBound());
  EXPECT_TRUE(c.EnvHandle == SQL_NULL_HENV);
  EXPECT_FALSE(c.Connect("", "u", "p", "d", false, "MySQL ODBC 3.51 Driver", ""));
  EXPECT_FALSE(c.Connected);
  EXPECT_EQ(c.FindDataSource("x"), "x");
  TODBCStatement s(&c, true, false);
  EXPECT_FALSE(s.Allocated);
  EXPECT_FALSE(s.ExecSQL("select 1"));
}

TEST(DriverManagerBinding, LibraryLackingOneExportIsRejectedAndReleased) {
  TLibraryOverride lib(STANDIN_PARTIAL);
  EXPECT_FALSE(BindDriverManager());
  EXPECT_FALSE(LibraryLoaded(STANDIN_PARTIAL));
  TODBC c;
  EXPECT_FALSE(c.IsBound());
  EXPECT_FALSE(LibraryLoaded(STANDIN_PARTIAL));
}

TEST(DriverManagerBinding, FailedBindingDoesNotDisturbAConnectionAlreadyOpen) {
  TScratchDatabase db(TScratchDatabase::Sqlite);
  TODBC first;
  ASSERT_TRUE(ConnectTo(first, db));
  {
    TLibraryOverride lib(STANDIN_PARTIAL);
    TODBC rejected;
    EXPECT_FALSE(rejected.IsBound());
  }
  EXPECT_TRUE(StatementWorks(first));
}

TEST(DriverManagerBinding, EnvironmentFailureLeavesConnectFalseAndTheBoundLibraryStaysLoaded) {
  {
    TLibraryOverride lib(STANDIN_COMPLETE);
    TODBC c;
    EXPECT_TRUE(c.IsBound());
    EXPECT_TRUE(c.EnvHandle == SQL_NULL_HENV);
    EXPECT_FALSE(c.Connect("", "", "", "", false, "x", ""));
  }
  // Kept for the process, so the next cycle does not load it afresh.
  EXPECT_TRUE(LibraryLoaded(STANDIN_COMPLETE));
}

TEST(DriverManagerBinding, SecondConnectionKeepsWorkingAfterTheFirstIsDestroyed) {
  TScratchDatabase db(TScratchDatabase::Sqlite);
  auto first = std::make_unique<TODBC>();
  auto second = std::make_unique<TODBC>();
  ASSERT_TRUE(ConnectTo(*first, db));
  ASSERT_TRUE(ConnectTo(*second, db));
  first.reset();
  EXPECT_TRUE(StatementWorks(*second));
}

// -- connection strings ------------------------------------------------------

TEST(ConnectionString, PairsInFixedOrderEmptyOnesLeftOutAndTheDatabaseKeyByDriverKind) {
  struct Case {
    const char *Dsn, *User, *Password, *Database, *Driver, *Extra, *Expected;
  };
  const Case cases[] = {
      // Every pair, in the fixed order, separated by semicolons.
      {"Src", "u", "p", "marrowby", "MySQL ODBC 3.51 Driver", "SERVER=10.1.2.3;PORT=3307",
       "DSN=Src;DRIVER={MySQL ODBC 3.51 Driver};Database=marrowby;UID=u;PWD=p;SERVER=10.1.2.3;PORT=3307"},
      // The service's defaults: no data source, no password.
      {"", "clerk", "", "marrowby", "MySQL ODBC 3.51 Driver", "SERVER=10.0.0.5",
       "DRIVER={MySQL ODBC 3.51 Driver};Database=marrowby;UID=clerk;SERVER=10.0.0.5"},
      {"", "", "", "", "MySQL ODBC 3.51 Driver", "", "DRIVER={MySQL ODBC 3.51 Driver}"},
      // The driver pair is there even when empty.
      {"", "u", "", "db", "", "", "DRIVER={};Database=db;UID=u"},
      // The database's key follows the driver's kind.
      {"", "", "", "d", "Oracle in XE", "", "DRIVER={Oracle in XE};DBQ=d"},
      {"", "", "", "d", "CodeBase ODBC", "", "DRIVER={CodeBase ODBC};DBQ=d"},
      {"", "", "", "d", "Visual FoxPro Driver", "", "DRIVER={Visual FoxPro Driver};SourceDB=d"},
      {"", "", "", "d", "SQLite3", "", "DRIVER={SQLite3};Database=d"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BuiltString(c.Dsn, c.User, c.Password, c.Database, c.Driver, c.Extra), c.Expected);
}

// A setting is one value whatever it holds: a ";" in a password must not end
// it and start an attribute of its own.
TEST(ConnectionString, SettingsValuesStayOneValueBracedByTheOdbcRules) {
  EXPECT_EQ(BuiltString("", "u", "convpw;PORT=1", "marrowby", "MySQL ODBC 3.51 Driver", "SERVER=10.0.0.5"),
            "DRIVER={MySQL ODBC 3.51 Driver};Database=marrowby;UID=u;PWD={convpw;PORT=1};SERVER=10.0.0.5");
  EXPECT_EQ(BuiltString("", "u", "a;b}c{d=e f", "", "D", ""), "DRIVER={D};UID=u;PWD={a;b}}c{d=e f}");
  EXPECT_EQ(BuiltString("Src;x", " lead", "p ", "my db", "Odd}Driver", ""),
            "DSN={Src;x};DRIVER={Odd}}Driver};Database=my db;UID={ lead};PWD={p }");
  for (const char* plain : {"tide-pw-4711", "a b", "x.y:z/w#%&$", "DB_1"})
    EXPECT_EQ(ConnectValue(plain), plain);
  for (const char* special : {"[", "]", "{", "}", "(", ")", ",", ";", "?", "*", "=", "!", "@"})
    EXPECT_EQ(ConnectValue(special), std::string("{") + special + (special == std::string("}") ? "}" : "") + "}");

  // Read back the way a driver reads it, a braced value is one attribute.
  EXPECT_EQ(SplitConnectAttributes("A=1;PWD={x;y}}z};;B = {2};C={"),
            (std::vector<std::string>{"A=1", "PWD={x;y}}z}", "B = {2}", "C={"}));
  EXPECT_EQ(ConnectKeyName(" user =x"), "UID");
  EXPECT_EQ(ConnectKeyName("Password=x"), "PWD");
  EXPECT_EQ(ConnectKeyName("db=x"), "DATABASE");
  EXPECT_EQ(ConnectKeyName("NOEQUALS"), "");
}

// Custom stays a list of attributes; one the settings give already is left
// out, so the settings decide who logs in, and said once, without values.
TEST(ConnectionString, CustomRepeatingASettingIsLeftOutAndNamedInTheLogOnce) {
  test::TTestLog log;
  TODBC c;
  c.Log = log.Log.get();
  c.DetectDriverKind("MySQL ODBC 3.51 Driver");
  EXPECT_EQ(c.BuildConnectString("", "clerk", "pw", "marrowby", "MySQL ODBC 3.51 Driver",
                                 "SERVER=10.0.0.5;uid=root;Password={se;cret};DRIVER={Other};db=x;PORT=3307"),
            "DRIVER={MySQL ODBC 3.51 Driver};Database=marrowby;UID=clerk;PWD=pw;SERVER=10.0.0.5;PORT=3307");
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Custom setting repeats uid, Password, DRIVER, db, which the other settings give already; the "
                      "other settings' value is used");
  EXPECT_EQ(lines[0].find("se;cret"), std::string::npos);

  // Nothing repeated, nothing said: a user given only in Custom is kept.
  EXPECT_EQ(c.BuildConnectString("", "", "", "marrowby", "MySQL ODBC 3.51 Driver", "SERVER=s;UID=root;PWD={a;b}"),
            "DRIVER={MySQL ODBC 3.51 Driver};Database=marrowby;SERVER=s;UID=root;PWD={a;b}");
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(ConnectionString, FileDataSourceReplacesDsnDriverAndDatabaseButNotUserPasswordOrExtra) {
  TTempDir tmp;
  const std::string dsn = tmp.File("site.dsn");
  WriteFile(dsn, "[ODBC]\r\nDriver=MySQL ODBC 3.51 Driver\r\nSERVER=db.local\r\nPORT=\r\nOPTION\r\n");
  EXPECT_EQ(BuiltString(dsn, "u", "p", "marrowby", "Other", "X=1"),
            "Driver={MySQL ODBC 3.51 Driver};SERVER=db.local;PORT=;OPTION=;UID=u;PWD=p;X=1");
}

TEST(ConnectionString, OnlyADriverValueWithABlankIsBraced) {
  TTempDir tmp;
  WriteFile(tmp.File("a.dsn"), "[odbc]\nDRIVER=SQLite3\nDatabase=/tmp/x y.db\n");
  EXPECT_EQ(BuiltString(tmp.File("a.dsn"), "", "", "", "", ""), "DRIVER=SQLite3;Database=/tmp/x y.db");
}

TEST(ConnectionString, FileWithoutOdbcSectionFallsBackToTheDsnPair) {
  TTempDir tmp;
  WriteFile(tmp.File("b.dsn"), "[Other]\nDRIVER=SQLite3\n");
  EXPECT_EQ(BuiltString(tmp.File("b.dsn"), "", "", "", "SQLite3", ""),
            "DSN=" + tmp.File("b.dsn") + ";DRIVER={SQLite3}");
}

// -- driver kinds ------------------------------------------------------------

TEST(DriverKind, FirstKeywordInSearchOrderDecides) {
  struct {
    const char* Text;
    TodDriverKind Kind;
  } cases[] = {
      {"mysql bridge to SQL Server", dkMySql},     {"Oracle for MySQL", dkOracle},
      {"SQL Native Client", dkSqlServer},          {"Microsoft Visual FoxPro Driver", dkDbf},
      {"Microsoft dBase Driver (*.dbf)", dkDbf},   {"CodeBase ODBC Driver", dkCodeBase},
  };
  for (const auto& k : cases) {
    TODBC c;
    c.DetectDriverKind(k.Text);
    EXPECT_EQ(c.DriverKind, k.Kind) << k.Text;
  }
}

TEST(DriverKind, TextWithoutKeywordKeepsTheKind) {
  TODBC c;
  c.DetectDriverKind("MySQL ODBC 3.51 Driver");
  c.DetectDriverKind("DSN=x;UID=y");
  EXPECT_EQ(c.DriverKind, dkMySql);
}

// -- lost links --------------------------------------------------------------

TEST(ConnectionLostCheck, ALinkStateOrTheNetworkMessageMarksTheLinkLostAndNothingClearsIt) {
  TODBC byState;
  CheckConnectionLost(byState, "28000", "Access denied");  // a refused login is no lost link
  CheckConnectionLost(byState, "08s01", "");               // states are compared exactly
  CheckConnectionLost(byState, "", "");
  EXPECT_FALSE(byState.ConnectionLost);
  CheckConnectionLost(byState, "08S01", "");
  EXPECT_TRUE(byState.ConnectionLost);
  CheckConnectionLost(byState, "HY000", "syntax error");
  EXPECT_TRUE(byState.ConnectionLost);

  TODBC byMessage;  // the message is matched in any letter case
  CheckConnectionLost(byMessage, "HY000", "Error: unable to complete network request to host \"db\". State:  HY000");
  EXPECT_TRUE(byMessage.ConnectionLost);
}

// -- logging in --------------------------------------------------------------

class MariaLogin : public ::testing::Test {
 protected:
  TScratchDatabase Db{TScratchDatabase::Maria};
  TTestLog Log;
  TODBC C;
  void SetUp() override {
    C.Log = Log.Log.get();
    C.ReportErrors = true;
  }
};

TEST_F(MariaLogin, ConnectionStringLoginRecordsTheDriverAndReadsValuesInPlace) {
  ASSERT_TRUE(ConnectTo(C, Db));
  EXPECT_TRUE(C.Connected);
  EXPECT_FALSE(C.ConnectionLost);
  EXPECT_TRUE(C.ConnHandle != SQL_NULL_HDBC);
  EXPECT_EQ(C.DriverKind, dkMySql);
  EXPECT_NE(C.ConnectString.find("PORT="), std::string::npos) << C.ConnectString;
  // The connector allows any column in any order and refreshes rows.
  EXPECT_FALSE(C.BindColumns);
  EXPECT_TRUE(Log.Lines().empty());
  C.Disconnect();
  EXPECT_FALSE(C.Connected);
  EXPECT_TRUE(C.ConnHandle == SQL_NULL_HDBC);
}

TEST_F(MariaLogin, DataSourceLoginGivesTheDriverDescription) {
  const auto server = test::MariaServer();
  ASSERT_TRUE(C.Connect(test::MariaDsn, server.User, server.Password, Db.Name(), false, "", ""));
  EXPECT_EQ(C.ConnectString, test::MariaDriver);
  EXPECT_EQ(C.DriverKind, dkMySql);
  EXPECT_TRUE(StatementWorks(C));
}

TEST_F(MariaLogin, DataSourceNamedInOtherCaseKeepsItsOwnName) {
  const auto server = test::MariaServer();
  ASSERT_TRUE(C.Connect("tidewellmaria", server.User, server.Password, Db.Name(), false, "", ""));
  EXPECT_EQ(C.ConnectString, "tidewellmaria");
  EXPECT_EQ(C.DriverKind, dkOther);
}

TEST_F(MariaLogin, FailedDataSourceLoginIsSilentAndOnlyTheConnectionStringFailureIsReported) {
  const auto server = test::MariaServer();
  // The built string starts with the same unknown DSN, so it fails too.
  EXPECT_FALSE(C.Connect("NoSuchSource", server.User, server.Password, Db.Name(), false, test::MariaDriver,
                         test::MariaExtra()));
  const auto lines = Log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(". State:  IM002"), std::string::npos) << lines[0];
}

TEST_F(MariaLogin, ConnectOnAConnectedObjectChangesNothing) {
  ASSERT_TRUE(ConnectTo(C, Db));
  const SQLHDBC handle = C.ConnHandle;
  const std::string connectString = C.ConnectString;
  C.ConnectionLost = true;
  EXPECT_TRUE(C.Connect("", "nobody", "wrong", "none", false, "SQLite3", ""));
  EXPECT_TRUE(C.ConnectionLost);
  EXPECT_EQ(C.ConnHandle, handle);
  EXPECT_EQ(C.ConnectString, connectString);
  EXPECT_EQ(C.DriverKind, dkMySql);
}

TEST_F(MariaLogin, WrongPasswordIsReportedAsMessageAndStateAndResetsTheConnection) {
  ASSERT_FALSE(C.Connect("", Db.User(), "not-the-password", Db.Name(), false, Db.Driver(), Db.Extra()));
  EXPECT_FALSE(C.Connected);
  EXPECT_TRUE(C.ConnHandle == SQL_NULL_HDBC);
  EXPECT_EQ(C.DriverKind, dkOther);
  const auto lines = Log.Lines();
  ASSERT_FALSE(lines.empty());
  const std::string& line = lines[0];
  EXPECT_NE(line.find("Access denied"), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 15), ". State:  28000") << line;
  for (const auto& l : lines) EXPECT_EQ(l.find("not-the-password"), std::string::npos) << l;
  // A failed login leaves the object ready for another attempt.
  EXPECT_TRUE(ConnectTo(C, Db));
}

// The server's own user whose password holds ; } { = and a blank.
TEST_F(MariaLogin, APasswordWithConnectionStringCharactersLogsInAsTheSettingsUser) {
  const std::string user = test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_USER");
  const std::string password = test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_PASSWORD");
  ASSERT_EQ(password, "a;b}c{d=e f");
  ASSERT_TRUE(C.Connect("", user, password, Db.Name(), false, Db.Driver(), Db.Extra())) << Log.Lines().front();
  {
    TODBCStatement s(&C, true, false);
    ASSERT_TRUE(s.ExecSQL("select current_user() as who"));
    EXPECT_EQ(s.FieldAsString("who"), user + "@127.0.0.1");
  }
  C.Disconnect();
  EXPECT_TRUE(Log.Lines().empty());

  // Custom naming another user and password changes nothing but the log.
  const auto server = test::MariaServer();
  ASSERT_TRUE(C.Connect("", user, password, Db.Name(), false, Db.Driver(),
                        Db.Extra() + ";UID=" + server.User + ";PWD=" + server.Password));
  TODBCStatement s(&C, true, false);
  ASSERT_TRUE(s.ExecSQL("select current_user() as who"));
  EXPECT_EQ(s.FieldAsString("who"), user + "@127.0.0.1");
  const auto lines = Log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Custom setting repeats UID, PWD"), std::string::npos) << lines[0];

  // And a password that only starts like the right one is refused, not cut.
  TODBC other;
  other.Log = Log.Log.get();
  other.ReportErrors = true;
  EXPECT_FALSE(other.Connect("", user, "a", Db.Name(), false, Db.Driver(), Db.Extra()));
}

TEST_F(MariaLogin, NothingIsReportedWhenReportErrorsIsOff) {
  C.ReportErrors = false;
  EXPECT_FALSE(C.Connect("", Db.User(), "wrong", Db.Name(), false, Db.Driver(), Db.Extra()));
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(MariaLogin, WithoutALogEachRecordGoesToStandardErrorAsAnOdbcError) {
  C.Log = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(C.Connect("", Db.User(), "wrong", Db.Name(), false, Db.Driver(), Db.Extra()));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("ODBC Error: ", 0), 0u) << err;
  EXPECT_NE(err.find(". State:  28000\n"), std::string::npos) << err;
}

TEST_F(MariaLogin, MissingDriverIsReported) {
  EXPECT_FALSE(C.Connect("", "", "", "", false, "No Such Driver 9", ""));
  const auto lines = Log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("No Such Driver 9"), std::string::npos) << lines[0];
  for (const auto& l : lines) EXPECT_EQ(l.substr(l.size() - 15, 10), ". State:  ") << l;
}

TEST(SqliteLogin, DriverWithoutRowRefreshGetsBoundColumns) {
  TScratchDatabase db(TScratchDatabase::Sqlite);
  TODBC c;
  ASSERT_TRUE(ConnectTo(c, db));
  EXPECT_TRUE(c.BindColumns);
  EXPECT_EQ(c.DriverKind, dkOther);
}

// -- statements and disconnection -------------------------------------------

TEST(ConnectionStatements, DisconnectReleasesRegisteredStatementsAndTheirOwnersMayStillDeleteThem) {
  TScratchDatabase db(TScratchDatabase::Sqlite);
  auto c = std::make_unique<TODBC>();
  ASSERT_TRUE(ConnectTo(*c, db));
  auto a = std::make_unique<TODBCStatement>(c.get(), true, false);
  auto b = std::make_unique<TODBCStatement>(c.get(), false, true);
  ASSERT_TRUE(a->ExecSQL("select 1 as one"));
  EXPECT_EQ(c->Statements.size(), 2u);

  c->Disconnect();
  EXPECT_EQ(c->Statements.size(), 2u);
  EXPECT_EQ(c->Statements[0], nullptr);
  EXPECT_EQ(c->Statements[1], nullptr);
  EXPECT_FALSE(a->Allocated);
  EXPECT_EQ(a->Connection, nullptr);
  EXPECT_FALSE(a->ExecSQL("select 1"));
  EXPECT_FALSE(a->Skip(sdNext, 1));
  EXPECT_EQ(a->FieldAsInteger("one"), 0);

  c.reset();
  a.reset();
  b.reset();
}
