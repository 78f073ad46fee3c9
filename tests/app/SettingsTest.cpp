// Settings and connection bootstrap against the test database server: what
// each cycle reads from mysqlconn.ini and how it opens MainOdbc with it.
#include <gtest/gtest.h>

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
