// tidewell -CHECK against the test database server and real files: what
// each line says when the item is right, and that each thing a site gets
// wrong is a FAIL (or, where the cycle still works, a warn) that names it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "app/Check.h"
#include "app/Journal.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "dbf/CodeBase.h"
#include "platform/System.h"
#include "tests/support/JournalNotes.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;

namespace {

// Every file under a folder, with its size: what a check must leave as it was.
std::set<std::string> Listing(const std::string& root) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    out.insert(e.path().string() + (e.is_regular_file() ? std::string(" ") + std::to_string(e.file_size()) : " dir"));
  return out;
}

class SelfCheck : public ::testing::Test {
 protected:
  TTempDir Dir;
  TKestrel K;
  TScratchDatabase Db{TScratchDatabase::Maria};
  std::string Exe, Share;

  void SetUp() override {
    Exe = Dir.File("exe");
    Share = Dir.File("share") + "/";
    std::filesystem::create_directories(Exe);
    std::filesystem::create_directories(Share + "netw/weight");
    std::filesystem::create_directories(Share + "netw/action");
    K.ExeDirOverride = Exe;
    K.ShareRootOverride = Share;
    WriteSettings(Db.Password());
    Db.Exec({"create table weight (rec_num int, machine int, dat_e date, tim_e varchar(8), gross int, convtd int)",
             "create table action (rec_num int, machine int, dat_e date, tim_e varchar(8), what varchar(20), convtd int)",
             "insert into weight values (1, 3, '2026-12-07', '08:00:00', 10, null), "
             "(2, 3, '2026-12-07', '09:00:00', 11, 0), (3, 3, '2026-12-07', '10:00:00', 12, 1)"});
    MakeTemplate("gstru.dbf", {{"MACHINE", 'N', 3, 0, 0}, {"DAT_E", 'D', 8, 0, 0}, {"GROSS", 'N', 8, 0, 0}});
    MakeTemplate("astru.dbf", {{"MACHINE", 'N', 3, 0, 0}, {"WHAT", 'C', 20, 0, 0}});
  }

  void WriteSettings(const std::string& password, const std::string& driver = std::string()) {
    WriteFile(Exe + "/mysqlconn.ini", "[MySQL]\r\nDataBase=" + Db.Name() + "\r\nUser=" + Db.User() + "\r\nKey=" +
                                          password + "\r\nCustom=" + Db.Extra() + "\r\n" +
                                          (driver.empty() ? "" : "Driver=" + driver + "\r\n"));
    chmod((Exe + "/mysqlconn.ini").c_str(), 0600);
  }

  void MakeTemplate(const std::string& name, std::vector<FIELD4INFO> fields) {
    fields.push_back({nullptr, 0, 0, 0, 0});
    CodeHandle code = code4initP();
    code4safety(code, 0);
    DbfHandle file = d4create(code, (Share + "netw/" + name).c_str(), fields.data(), nullptr);
    ASSERT_NE(file, nullptr);
    d4close(file);
    code4initUndoP(code);
  }

  // Runs the check; the line of each item.
  std::map<std::string, TCheckLine> Run(bool expectPassed) {
    TSelfCheck check(K);
    EXPECT_EQ(check.Run(), expectPassed);
    std::map<std::string, TCheckLine> byItem;
    for (const auto& line : check.Lines) byItem[line.Item] = line;
    Printed.clear();
    for (const auto& line : check.Lines) Printed += line.Printed() + "\n";
    return byItem;
  }
  std::string Printed;
};

bool Says(const TCheckLine& line, TCheckState state, const std::string& text) {
  return line.State == state && line.Text.find(text) != std::string::npos;
}

}  // namespace

TEST_F(SelfCheck, AnInstallationThatIsRightPassesOneLinePerItemAndWritesNothing) {
  const auto before = Listing(Dir.Path());
  const auto lines = Run(true);
  const std::vector<std::string> items = {"user",           "settings",        "log folder",      "journal folder",
                                          "driver",         "connection",      "table weight",    "backlog weight",
                                          "template weight", "output weight",  "journal weight",  "table action",
                                          "backlog action", "template action", "output action",   "journal action"};
  EXPECT_EQ(lines.size(), items.size()) << Printed;
  for (const auto& item : items) {
    ASSERT_EQ(lines.count(item), 1u) << item << "\n" << Printed;
    EXPECT_EQ(lines.at(item).State, TCheckState::csOk) << Printed;
  }
  EXPECT_TRUE(Says(lines.at("settings"), TCheckState::csOk, " 0600)")) << Printed;
  // Two rows wait (NULL and 0); the one marked 1 does not.
  EXPECT_TRUE(Says(lines.at("backlog weight"), TCheckState::csOk, "2 rows waiting")) << Printed;
  EXPECT_TRUE(Says(lines.at("backlog action"), TCheckState::csOk, "0 rows waiting")) << Printed;
  EXPECT_TRUE(Says(lines.at("template weight"), TCheckState::csOk, "3 fields, each filled from a column")) << Printed;
  EXPECT_TRUE(Says(lines.at("log folder"), TCheckState::csOk, "the first run makes it")) << Printed;
  EXPECT_EQ(Listing(Dir.Path()), before);
  EXPECT_EQ(Db.Column("select count(*) from weight where ifnull(convtd,0)=0"), std::vector<std::string>{"2"});
}

TEST_F(SelfCheck, SettingsMissingOrReadableByOthersFail) {
  chmod((Exe + "/mysqlconn.ini").c_str(), 0644);
  auto lines = Run(false);
  EXPECT_TRUE(Says(lines.at("settings"), TCheckState::csFail, "readable by other users")) << Printed;
  EXPECT_TRUE(Says(lines.at("settings"), TCheckState::csFail, "0644")) << Printed;
  // Readable by the owner and the service's own group is what the package
  // installs (root:tidewell 0640); any other group is someone else.
  chmod((Exe + "/mysqlconn.ini").c_str(), 0640);
  const std::string group = platform::FileOwnership(Exe + "/mysqlconn.ini")->Group;
  EXPECT_FALSE(platform::ReadableByOthers(Exe + "/mysqlconn.ini", group));
  EXPECT_TRUE(platform::ReadableByOthers(Exe + "/mysqlconn.ini", group + "-not"));

  std::filesystem::remove(Exe + "/mysqlconn.ini");
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("settings"), TCheckState::csFail, "not found")) << Printed;
}

TEST_F(SelfCheck, AWrongPasswordOrAnUnknownDriverFailsWithTheReason) {
  WriteSettings("not-the-password");
  auto lines = Run(false);
  EXPECT_TRUE(Says(lines.at("driver"), TCheckState::csOk, "registered")) << Printed;
  EXPECT_TRUE(Says(lines.at("connection"), TCheckState::csFail, "State:  28000")) << Printed;
  EXPECT_EQ(lines.at("connection").Text.find("not-the-password"), std::string::npos) << "the password is shown";
  // Without a connection the tables are not looked at; the files still are.
  EXPECT_EQ(lines.count("table weight"), 0u) << Printed;
  EXPECT_TRUE(Says(lines.at("template weight"), TCheckState::csOk, "not compared")) << Printed;
  EXPECT_EQ(lines.at("output weight").State, TCheckState::csOk) << Printed;

  WriteSettings(Db.Password(), "No Such Driver");
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("driver"), TCheckState::csFail, "\"No Such Driver\" is not registered")) << Printed;
  EXPECT_EQ(lines.at("connection").State, TCheckState::csFail) << Printed;
}

TEST_F(SelfCheck, ATableWithoutAColumnTheConversionNeedsFails) {
  Db.Exec({"drop table action", "create table action (rec_num int, machine int, dat_e date, what varchar(20))"});
  auto lines = Run(false);
  EXPECT_TRUE(Says(lines.at("table action"), TCheckState::csFail, "lacks the columns convtd, tim_e the conversion needs")) << Printed;
  EXPECT_EQ(lines.at("table weight").State, TCheckState::csOk) << Printed;

  Db.Exec({"drop table action"});
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("table action"), TCheckState::csFail, "can't be read")) << Printed;
  EXPECT_TRUE(Says(lines.at("table action"), TCheckState::csFail, "42S02")) << Printed;
}

TEST_F(SelfCheck, TemplatesMissingDamagedOrWithFieldsNoColumnFills) {
  // A field no column fills stays blank in every record: worth a warning,
  // not a failure (the cycle works).
  std::filesystem::remove(Share + "netw/gstru.dbf");
  MakeTemplate("gstru.dbf", {{"MACHINE", 'N', 3, 0, 0}, {"NET", 'N', 8, 0, 0}, {"TARA", 'N', 8, 0, 0}});
  auto lines = Run(true);
  EXPECT_TRUE(Says(lines.at("template weight"), TCheckState::csWarn, "no column of weight fills NET, TARA")) << Printed;

  std::filesystem::remove(Share + "netw/astru.dbf");
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("template action"), TCheckState::csFail, "astru.dbf not found")) << Printed;

  WriteFile(Share + "netw/astru.dbf", "not a table at all");
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("template action"), TCheckState::csFail, "can't be read: ")) << Printed;
}

TEST_F(SelfCheck, OutputFoldersAndTheLogFolderMustBeThere) {
  std::filesystem::remove(Share + "netw/action");
  auto lines = Run(false);
  EXPECT_TRUE(Says(lines.at("output action"), TCheckState::csFail, "does not exist")) << Printed;
  EXPECT_EQ(lines.at("output weight").State, TCheckState::csOk);

  // A file where the log folder should be: the run can't make it.
  WriteFile(Exe + "/log", "a file");
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("log folder"), TCheckState::csFail, "is a file, not a folder")) << Printed;
  // A folder the run can't make: its parent is a file.
  std::filesystem::remove(Exe + "/log");
  K.ExeDirOverride = Exe + "/mysqlconn.ini";
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("journal folder"), TCheckState::csFail, "does not exist and can't be made")) << Printed;
}

TEST_F(SelfCheck, JournalNotesPendingWarnAndAnUnreadableJournalFails) {
  std::filesystem::create_directories(Exe + "/journal");
  {
    TJournal journal(K.JournalPath("weight"));
    ASSERT_TRUE(journal.Load());
    TJournalEntry e = test::NumberKeyNote(3, "1", Share + "netw/weight/12072603.dbf", 1);
    ASSERT_TRUE(journal.Note(e));
  }
  const auto before = Listing(Dir.Path());
  auto lines = Run(true);
  EXPECT_TRUE(Says(lines.at("journal weight"), TCheckState::csWarn, "1 notes pending")) << Printed;
  EXPECT_EQ(lines.at("journal action").State, TCheckState::csOk);
  EXPECT_EQ(Listing(Dir.Path()), before);  // the journal is read, not settled

  std::filesystem::create_directories(K.JournalPath("action"));  // a folder where the file should be
  lines = Run(false);
  EXPECT_TRUE(Says(lines.at("journal action"), TCheckState::csFail, "can't be read")) << Printed;
}
