// Settings and connection bootstrap against the test database server: what
// each cycle reads from mysqlconn.ini and how it opens MainOdbc with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "app/Settings.h"
#include "app/sMain.h"
#include "common/BuildConfig.h"
#include "logging/MessLog.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;

namespace {

// A service module whose executable folder is a temporary one, with the
// process log in it, as a running cycle has it.
class SettingsBootstrap : public ::testing::Test {
 protected:
  TTempDir Dir;
  TKestrel K;
  TScratchDatabase Db{TScratchDatabase::Maria};

  void SetUp() override {
    K.ExeDirOverride = Dir.Path();
    MainLog = std::make_unique<TMessLog>(Dir.File("cycle.log"), "", false, false, false, true);
  }
  void TearDown() override {
    MainOdbc.reset();
    MainLog.reset();
  }

  void WriteSettings(const std::string& password, const std::string& extraLines = "") {
    WriteFile(Dir.File("mysqlconn.ini"), "[MySQL]\r\nHost=\r\nDataBase=" + Db.Name() + "\r\nUser=" + Db.User() +
                                             "\r\nKey=" + password + "\r\nCustom=" + Db.Extra() + "\r\n" +
                                             extraLines);
  }

  std::string LogText() {
    MainLog->Flush();
    return test::ReadFile(Dir.File("cycle.log"));
  }
};

}  // namespace

TEST_F(SettingsBootstrap, WithoutASettingsFileTheDefaultsAreTried) {
  EXPECT_FALSE(K.LoadSettings());
  EXPECT_EQ(K.LastSettings.Host, "");
  EXPECT_EQ(K.LastSettings.DataBase, "marrowby");
  EXPECT_EQ(K.LastSettings.User, "");
  EXPECT_EQ(K.LastSettings.Key, "");
  EXPECT_EQ(K.LastSettings.Driver, "MySQL ODBC 3.51 Driver");
  EXPECT_EQ(K.LastSettings.Custom, std::string("SERVER=") + DefaultServer + DefaultTimeouts);
  // Nothing listens on the default port: the failure is reported and the
  // connection object is gone.
  EXPECT_EQ(MainOdbc, nullptr);
  EXPECT_NE(LogText().find(". State:  "), std::string::npos);
}

TEST_F(SettingsBootstrap, GoodSettingsConnectMainOdbcUntilTheCycleClosesIt) {
  WriteSettings(Db.Password());
  ASSERT_TRUE(K.LoadSettings());
  ASSERT_NE(MainOdbc, nullptr);
  EXPECT_TRUE(MainOdbc->Connected);
  EXPECT_EQ(MainOdbc->Log, MainLog.get());
  EXPECT_TRUE(MainOdbc->ReportErrors);
  EXPECT_EQ(MainOdbc->DriverKind, dkMySql);
  EXPECT_EQ(K.LastSettings.Driver, "MySQL ODBC 3.51 Driver");
  K.CloseDatabase();
  EXPECT_EQ(MainOdbc, nullptr);
  EXPECT_EQ(LogText(), "");
}

TEST_F(SettingsBootstrap, SettingsEditedBetweenTwoCyclesAreUsedByTheSecond) {
  WriteSettings("wrong-password");
  EXPECT_FALSE(K.LoadSettings());
  EXPECT_EQ(MainOdbc, nullptr);
  EXPECT_NE(LogText().find(". State:  28000"), std::string::npos);

  // Section and key names in another letter case are the same names.
  WriteFile(Dir.File("mysqlconn.ini"), "[mysql]\nhost=" + std::string(test::MariaDsn) + "\nDATABASE=" + Db.Name() +
                                           "\nuser=" + Db.User() + "\nkey=" + Db.Password() + "\n");
  ASSERT_TRUE(K.LoadSettings());
  EXPECT_EQ(K.LastSettings.Host, test::MariaDsn);
  EXPECT_EQ(MainOdbc->ConnectString, test::MariaDriver);
}

TEST_F(SettingsBootstrap, AFailedCycleLogsTheMaskedErrorLineAndNeverThePassword) {
  const std::string password = "Tr0ub4dor-and-3";
  WriteSettings(password);
  K.RunCycle();
  const std::string log = LogText();
  EXPECT_NE(log.find("ERROR - H: D:" + Db.Name() + " U:" + Db.User() + " P:*****\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(". State:  28000"), std::string::npos) << log;
  EXPECT_EQ(log.find(password), std::string::npos) << log;
  EXPECT_EQ(MainOdbc, nullptr);
}

// A file that gives none of its values says why, once a cycle; the defaults
// are still tried.
TEST_F(SettingsBootstrap, AFileThatGivesNoValuesIsNamedOnceACycle) {
  const std::string file = Dir.File("mysqlconn.ini");
  struct TCase {
    const char* Name;
    std::function<void()> Make;
    std::string Line;
  };
  const std::string defaults = "; the built-in defaults are used";
  const std::string utf16 = std::string("\xFF\xFE[\0M\0y\0S\0Q\0L\0]\0\r\0\n\0", 20);
  const std::vector<TCase> cases = {
      {"missing", [] {}, "Settings file " + file + " not found" + defaults},
      {"empty", [&] { WriteFile(file, " \r\n\r\n"); }, "Settings file " + file + " is empty" + defaults},
      {"a folder", [&] { std::filesystem::create_directory(file); },
       "Settings file " + file + " can't be read (it is a folder)" + defaults},
      {"UTF-16", [&] { WriteFile(file, utf16); },
       "Settings file " + file + " is UTF-16 text, which is not read; save it as ANSI or UTF-8" + defaults},
      {"UTF-16 without its mark", [&] { WriteFile(file, utf16.substr(2)); },
       "Settings file " + file + " is UTF-16 text, which is not read; save it as ANSI or UTF-8" + defaults},
      {"no section", [&] { WriteFile(file, "[ODBC]\nHost=x\n"); },
       "Settings file " + file + " has no [MySQL] section with settings" + defaults},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove_all(file);
    c.Make();
    const size_t before = LogText().size();
    EXPECT_FALSE(K.LoadSettings());
    EXPECT_EQ(K.LastSettings.DataBase, "marrowby");
    EXPECT_FALSE(K.LoadSettings());  // the next cycle says it again
    const std::string log = LogText().substr(before);
    size_t count = 0;
    for (size_t at = log.find(c.Line + "\r\n"); at != std::string::npos; at = log.find(c.Line + "\r\n", at + 1)) ++count;
    EXPECT_EQ(count, 2u) << log;
  }
  std::filesystem::remove_all(file);
}

// A byte order mark is skipped and said so; a password that holds what a
// connection string treats specially logs in as it is written.
TEST_F(SettingsBootstrap, AByteOrderMarkIsSkippedAndAnOddPasswordLogsIn) {
  const std::string user = test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_USER");
  const std::string password = test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_PASSWORD");
  WriteFile(Dir.File("mysqlconn.ini"), "\xEF\xBB\xBF[MySQL]\r\nDataBase=" + Db.Name() + "\r\nUser=" + user +
                                           "\r\nKey=" + password + "\r\nCustom=" + Db.Extra() + "\r\n");
  ASSERT_TRUE(K.LoadSettings()) << LogText();
  EXPECT_EQ(K.LastSettings.Key, password);
  K.CloseDatabase();
  const std::string log = LogText();
  EXPECT_NE(log.find(" - Settings file " + Dir.File("mysqlconn.ini") +
                     " starts with a UTF-8 byte order mark; it is skipped\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Access denied"), std::string::npos) << log;
}
