// The tidewell executable run the way systemd runs it: with a notify socket,
// driven by signals. Also the foreground and one-shot modes an
// administrator uses, a start by hand, stops that must not wait for a
// silent server or a lock, a log folder that can't be written, and the
// settings file's permissions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/OdbcTestEnv.h"
#include "tests/support/Spawn.h"
#include "tests/support/TempDir.h"

using tidewell::test::ReadCrLfLines;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;
using Clock = std::chrono::steady_clock;

namespace {

// The executable copied into a folder of its own: its settings and log
// folder live beside it.
std::string Install(const TTempDir& dir) {
  const std::string exe = dir.File("tidewell");
  std::filesystem::copy_file(TIDEWELL_EXE, exe);
  return exe;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outputFile = std::string()) {
  tidewell::test::TSpawn spawn;
  spawn.Args = args;
  spawn.AddEnv = extraEnv;
  spawn.Output = outputFile;
  const pid_t pid = tidewell::test::SpawnProcess(spawn);
  EXPECT_NE(pid, -1) << "could not start " << args.front();
  return pid;
}

int WaitExit(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const int rc = tidewell::test::WaitExit(pid, limit);
  if (rc == -1) ADD_FAILURE() << "the process did not end in time";
  return rc;
}

class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : FPath(path) {
    FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{20, 0};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~TNotifySocket() { close(FFd); }
  // Reads datagrams until one contains `text`; returns all read so far.
  std::vector<std::string> ReadUntil(const std::string& text) {
    std::vector<std::string> got;
    char buf[4096];
    for (;;) {
      const ssize_t n = recv(FFd, buf, sizeof buf, 0);
      if (n <= 0) {
        ADD_FAILURE() << "no datagram with " << text;
        return got;
      }
      got.emplace_back(buf, static_cast<size_t>(n));
      if (got.back().find(text) != std::string::npos) return got;
    }
  }
  // Datagrams that arrive within the time given.
  std::vector<std::string> ReadFor(std::chrono::milliseconds span) {
    std::vector<std::string> got;
    char buf[4096];
    for (const auto end = Clock::now() + span; Clock::now() < end;) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = recv(FFd, buf, sizeof buf, 0);
      if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  std::string FPath;
  int FFd;
};

std::vector<std::string> LogTexts(const TTempDir& dir) {
  if (!std::filesystem::is_directory(dir.File("log"))) return {};
  std::vector<std::string> texts;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("log")))
    for (const auto& line : ReadCrLfLines(entry.path().string()))
      texts.push_back(line.size() > 24 && line[2] == ':' ? line.substr(24) : line);
  return texts;
}

int Count(const std::vector<std::string>& texts, const std::string& text) {
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

// Settings that fail to connect at once: nothing listens on port 1.
void WriteUnreachableSettings(const TTempDir& dir) {
  WriteFile(dir.File("mysqlconn.ini"), "[MySQL]\nCustom=SERVER=127.0.0.1;PORT=1;CONN_TIMEOUT=2\n");
  chmod(dir.File("mysqlconn.ini").c_str(), 0600);
}

// The service as systemd starts it, in a folder of its own, up and running.
struct TRunningService {
  TTempDir Dir;
  std::string Exe = Install(Dir);
  std::unique_ptr<TNotifySocket> Notify;
  pid_t Pid = -1;

  explicit TRunningService(const std::string& settings = std::string()) {
    if (settings.empty())
      WriteUnreachableSettings(Dir);
    else
      WriteFile(Dir.File("mysqlconn.ini"), settings);
    Notify = std::make_unique<TNotifySocket>(Dir.File("notify.sock"));
    Pid = Spawn({Exe}, {"NOTIFY_SOCKET=" + Dir.File("notify.sock")});
    Notify->ReadUntil("READY=1");
  }
  ~TRunningService() {
    if (Pid > 0 && kill(Pid, 0) == 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
  }
  // Exit code (128 + signal for a crash) and how long it took from now.
  int Exit(std::chrono::milliseconds* took = nullptr) {
    const auto from = Clock::now();
    const int rc = WaitExit(Pid);
    Pid = -1;
    if (took) *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from);
    return rc;
  }
};

// A TCP listener on loopback that takes connections and never says a word,
// as a hung database server does.
class TSilentListener {
 public:
  TSilentListener() {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(FFd, 8), 0);
    socklen_t len = sizeof addr;
    getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len);
    Port = ntohs(addr.sin_port);
  }
  ~TSilentListener() {
    for (int fd : FAccepted) close(fd);
    close(FFd);
  }
  // True once a client has connected (within the time given).
  bool Accept(int timeoutMs) {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    FAccepted.push_back(accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC));
    return FAccepted.back() >= 0;
  }
  int Port = 0;

 private:
  int FFd;
  std::vector<int> FAccepted;
};

}  // namespace

TEST(UnderSystemd, ReportsReadyAndStopsCleanlyOnSigterm) {
  TTempDir dir;
  const std::string exe = Install(dir);
  TNotifySocket notify(dir.File("notify.sock"));
  const pid_t pid = Spawn({exe}, {"NOTIFY_SOCKET=" + dir.File("notify.sock")});
  const auto starting = notify.ReadUntil("READY=1");
  ASSERT_GE(starting.size(), 2u);
  EXPECT_EQ(starting[0], "STATUS=Starting\nEXTEND_TIMEOUT_USEC=5000000");
  kill(pid, SIGTERM);
  notify.ReadUntil("STOPPING=1");
  notify.ReadUntil("STATUS=Stopped");
  EXPECT_EQ(WaitExit(pid), 0);
  const auto texts = LogTexts(dir);
  ASSERT_GE(texts.size(), 5u);
  EXPECT_EQ(texts[1], "Start Log");
  EXPECT_EQ(texts[2], "Starting scan of SQL tables...");
  EXPECT_EQ(texts[texts.size() - 3], "Stop request received!");
  EXPECT_EQ(texts[texts.size() - 2], "Process safely stopped...");
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(UnderSystemd, StartedByHandItEndsAtOnceWithoutRunningTheService) {
  TTempDir dir;
  const std::string exe = Install(dir);
  const std::string line =
      "tidewell: The service process could not connect to the service controller";
  const std::string pointer = "; to run it by hand see tidewell --help\n";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitExit(Spawn({exe}, {}, dir.File("output.txt"))), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(tidewell::test::ReadFile(dir.File("output.txt")), line + pointer);
  // Arguments it does not know are still no switch, but the line names them.
  EXPECT_EQ(WaitExit(Spawn({exe, "once", "-FOO", "-SILENT"}, {}, dir.File("output.txt"))), 1);
  EXPECT_EQ(tidewell::test::ReadFile(dir.File("output.txt")), line + " (not understood: once -FOO)" + pointer);
  EXPECT_FALSE(std::filesystem::exists(dir.File("log")));
}

TEST(UnderSystemd, AnArgumentItDoesNotKnowIsIgnoredAsBefore) {
  TTempDir dir;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  TNotifySocket notify(dir.File("notify.sock"));
  const pid_t pid = Spawn({exe, "once"}, {"NOTIFY_SOCKET=" + dir.File("notify.sock")}, dir.File("output.txt"));
  notify.ReadUntil("READY=1");
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_EQ(tidewell::test::ReadFile(dir.File("output.txt")), "");
}

TEST(Foreground, ConsoleModeStopsOnInterruptAndOnceModeRunsTwoCycles) {
  TTempDir dir;
  const std::string exe = Install(dir);
  const pid_t pid = Spawn({exe, "-Console"}, {});
  // Wait for the log to show the service running, then press Ctrl+C.
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.File("log")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
  auto texts = LogTexts(dir);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
  EXPECT_EQ(texts[texts.size() - 2], "Process safely stopped...");

  std::filesystem::remove_all(dir.File("log"));
  // No database answers here: two failed cycles, exit code 1.
  EXPECT_EQ(WaitExit(Spawn({exe, "/once"}, {})), 1);
  texts = LogTexts(dir);
  int errors = 0;
  for (const auto& t : texts) errors += t.rfind("ERROR - H:", 0) == 0;
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(Signals, PauseContinueAndInterrogateAreReportedAndInterruptStops) {
  TRunningService s;
  kill(s.Pid, SIGUSR1);
  s.Notify->ReadUntil("STATUS=Paused");
  kill(s.Pid, SIGUSR2);
  s.Notify->ReadUntil("STATUS=Continuing");
  s.Notify->ReadUntil("STATUS=Running");
  kill(s.Pid, SIGHUP);  // reports the current state again
  s.Notify->ReadUntil("STATUS=Running");
  kill(s.Pid, SIGINT);
  s.Notify->ReadUntil("STOPPING=1");
  EXPECT_EQ(s.Exit(), 0);
  const auto texts = LogTexts(s.Dir);
  EXPECT_EQ(Count(texts, "Stop request received!"), 1);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(Signals, ASecondStopOrAPauseAfterTheStopIsIgnoredAndTheProcessEnds) {
  // The second signal comes while the first stop is being finished, and
  // again after the service has let go of its log.
  struct TCase {
    int Second;
    int GapMs;
  };
  for (const TCase c : {TCase{SIGTERM, 30}, TCase{SIGTERM, 150}, TCase{SIGUSR1, 0}, TCase{SIGUSR1, 120},
                        TCase{SIGINT, 30}}) {
    SCOPED_TRACE("second signal " + std::to_string(c.Second) + " after " + std::to_string(c.GapMs) + " ms");
    TRunningService s;
    kill(s.Pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.GapMs));
    kill(s.Pid, c.Second);
    std::chrono::milliseconds took{};
    EXPECT_EQ(s.Exit(&took), 0);
    EXPECT_LT(took, std::chrono::seconds(10));
    const auto texts = LogTexts(s.Dir);
    EXPECT_EQ(Count(texts, "Stop request received!"), 1);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "End Log");
  }
}

TEST(Signals, TwoInterruptsInTheForegroundEndItOnce) {
  TTempDir dir;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  const pid_t pid = Spawn({exe, "-CONSOLE"}, {}, dir.File("output.txt"));
  for (int i = 0; i < 500 && LogTexts(dir).size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
  const auto texts = LogTexts(dir);
  EXPECT_EQ(Count(texts, "Stop request received!"), 1);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
}

// The foreground modes take every signal the service answers; none of them
// may end the process the way an unwatched signal does (exit 138 for USR1).
namespace {

// Waits until the foreground run has its log going (its signals are
// watched by then).
void AwaitLog(const TTempDir& dir) {
  for (int i = 0; i < 500 && LogTexts(dir).size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Waits until the output holds `text` `times` times.
bool AwaitOutput(const TTempDir& dir, const std::string& text, int times = 1) {
  for (int i = 0; i < 1000; ++i) {
    const std::string out = tidewell::test::ReadFile(dir.File("output.txt"));
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    if (n >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST(Signals, TheConsoleModeReportsPauseContinueAndHangUpAndGoesOn) {
  TTempDir dir;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  const pid_t pid = Spawn({exe, "-CONSOLE"}, {}, dir.File("output.txt"));
  AwaitLog(dir);
  ASSERT_TRUE(AwaitOutput(dir, "Kestrel: Running\n"));
  kill(pid, SIGUSR1);
  EXPECT_TRUE(AwaitOutput(dir, "Kestrel: Paused\n"));
  kill(pid, SIGUSR2);
  EXPECT_TRUE(AwaitOutput(dir, "Kestrel: Running\n", 2));
  kill(pid, SIGHUP);  // the state again, nothing else
  EXPECT_TRUE(AwaitOutput(dir, "Kestrel: Running\n", 3));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "a pause, a continue or a hang-up ended the run";
  // A pause sent while paused, and a stop while paused, as the service has them.
  kill(pid, SIGUSR1);
  EXPECT_TRUE(AwaitOutput(dir, "Kestrel: Paused\n", 2));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_TRUE(AwaitOutput(dir, "Kestrel: Stopped\n"));
  const auto texts = LogTexts(dir);
  EXPECT_EQ(Count(texts, "Stop request received!"), 1);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(Signals, APauseRightAfterAStopEndsNeitherForegroundModeEarly) {
  tidewell::test::TestDbEnv("ODBCSYSINI");  // the MariaDB driver's registration
  for (const char* mode : {"-CONSOLE", "-ONCE"}) {
    for (const int second : {SIGUSR1, SIGUSR2, SIGHUP}) {
      SCOPED_TRACE(std::string(mode) + " and signal " + std::to_string(second) + " 20 ms after SIGTERM");
      TTempDir dir;
      const std::string exe = Install(dir);
      // A server that never answers holds the one-shot run in its login.
      TSilentListener server;
      WriteFile(dir.File("mysqlconn.ini"), "[MySQL]\nCustom=SERVER=127.0.0.1;PORT=" + std::to_string(server.Port) + "\n");
      chmod(dir.File("mysqlconn.ini").c_str(), 0600);
      const pid_t pid = Spawn({exe, mode}, {}, dir.File("output.txt"));
      ASSERT_TRUE(server.Accept(10000)) << "the first cycle never tried to log in";
      kill(pid, SIGTERM);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      kill(pid, second);
      const int rc = WaitExit(pid);
      EXPECT_EQ(rc, std::string(mode) == "-ONCE" ? 1 : 0);  // the one-shot run never connected
      const auto texts = LogTexts(dir);
      ASSERT_FALSE(texts.empty());
      EXPECT_EQ(texts.back(), "End Log");
      EXPECT_EQ(Count(texts, "Login abandoned: the service is stopping"), 1);
    }
  }
}

TEST(Signals, TheOneShotModeIgnoresPauseContinueAndHangUp) {
  tidewell::test::TestDbEnv("ODBCSYSINI");
  TTempDir dir;
  const std::string exe = Install(dir);
  TSilentListener server;
  WriteFile(dir.File("mysqlconn.ini"), "[MySQL]\nCustom=SERVER=127.0.0.1;PORT=" + std::to_string(server.Port) + "\n");
  chmod(dir.File("mysqlconn.ini").c_str(), 0600);
  const pid_t pid = Spawn({exe, "-ONCE"}, {}, dir.File("output.txt"));
  ASSERT_TRUE(server.Accept(10000));
  for (const int sig : {SIGUSR1, SIGUSR2, SIGHUP, SIGUSR1}) {
    kill(pid, sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "a pause, a continue or a hang-up ended the one-shot run";
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 1);
  EXPECT_EQ(tidewell::test::ReadFile(dir.File("output.txt")).find("Kestrel: "), std::string::npos);
  const auto texts = LogTexts(dir);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(Status, EachCycleTellsTheAdministratorWhatHappenedAndWhenTheNextComes) {
  TRunningService s;
  const auto got = s.Notify->ReadUntil("STATUS=weight:");
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(std::regex_match(got.back(), std::regex("STATUS=weight: no connection to the database "
                                                      "\\(ERROR - H: D:marrowby U: P:\\) at "
                                                      "\\d\\d:\\d\\d:\\d\\d; next cycle \\d\\d:\\d\\d:\\d\\d")))
      << got.back();
  kill(s.Pid, SIGTERM);
  EXPECT_EQ(s.Exit(), 0);
}

TEST(StopsWithinSeconds, DuringALoginToAServerThatNeverAnswers) {
  tidewell::test::TestDbEnv("ODBCSYSINI");  // the MariaDB driver's registration
  TSilentListener server;
  // No timeouts in the settings: the stop alone must end the wait.
  TRunningService s("[MySQL]\nCustom=SERVER=127.0.0.1;PORT=" + std::to_string(server.Port) + "\n");
  ASSERT_TRUE(server.Accept(10000)) << "the first cycle never tried to log in";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(s.Pid, SIGTERM);
  std::chrono::milliseconds took{};
  EXPECT_EQ(s.Exit(&took), 0);
  EXPECT_LT(took, std::chrono::seconds(5));
  const auto texts = LogTexts(s.Dir);
  EXPECT_EQ(Count(texts, "Login abandoned: the service is stopping"), 1);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(StopsWithinSeconds, DuringAStatementWaitingForALock) {
  using tidewell::test::TScratchDatabase;
  TScratchDatabase db(TScratchDatabase::Maria);
  db.Exec({"create table weight (rec_num int, machine int, dat_e date, tim_e char(8), convtd int)",
           "insert into weight values (1, 3, '2024-05-06', '10:00:00', 0)"});
  // Another session holds the table, as an administrator's maintenance would
  // (over TCP like the others: the server shows a user only the sessions of
  // the same account, and that includes the host).
  const auto server = tidewell::test::MariaServer();
  const pid_t holder = Spawn({"/usr/bin/mariadb", "--no-defaults", "--host=127.0.0.1", "--port=" + server.Port,
                              "-u" + server.User,
                              "-p" + server.Password, db.Name(), "-e", "lock tables weight write; select sleep(120)"},
                             {});
  const auto waitFor = [&db](const std::string& condition) {
    for (int i = 0; i < 200; ++i) {
      if (db.Column("select count(*) from information_schema.processlist where " + condition) !=
          std::vector<std::string>{"0"})
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  ASSERT_TRUE(waitFor("info like 'select sleep%'"));
  TRunningService s("[MySQL]\nDataBase=" + db.Name() + "\nUser=" + db.User() + "\nKey=" + db.Password() +
                    "\nCustom=" + db.Extra() + "\n");
  EXPECT_TRUE(waitFor("info like 'select * from weight%' and state like '%lock%'"))
      << "the cycle's select never waited for the lock";
  kill(s.Pid, SIGTERM);
  std::chrono::milliseconds took{};
  EXPECT_EQ(s.Exit(&took), 0);
  EXPECT_LT(took, std::chrono::seconds(8));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  const auto texts = LogTexts(s.Dir);
  EXPECT_EQ(Count(texts, "Process safely stopped..."), 1);
  EXPECT_EQ(db.Column("select convtd from weight"), std::vector<std::string>{"0"});
}

TEST(LogFolder, WhenItCannotBeWrittenTheLinesGoToStandardErrorWithOneEvent) {
  TTempDir dir;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  WriteFile(dir.File("log"), "a file where the log folder should be");
  EXPECT_EQ(WaitExit(Spawn({exe, "-ONCE"}, {}, dir.File("output.txt"))), 1);
  const std::string output = tidewell::test::ReadFile(dir.File("output.txt"));
  EXPECT_NE(output.find(" - Starting scan of SQL tables...\n"), std::string::npos) << output;
  EXPECT_NE(output.find(" - ERROR - H:"), std::string::npos);
  EXPECT_NE(output.find(" - End Log\n"), std::string::npos);
  size_t events = 0;
  for (size_t at = output.find("can't be written"); at != std::string::npos; at = output.find("can't be written", at + 1))
    ++events;
  EXPECT_EQ(events, 1u) << output;
}

TEST(SettingsFile, ReadableByOthersGivesOneWarningPerStart) {
  TTempDir dir;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  const auto warnings = [&dir] {
    int n = 0;
    for (const auto& t : LogTexts(dir)) n += t.rfind("Warning: ", 0) == 0 && t.find("mysqlconn.ini") != std::string::npos;
    return n;
  };
  EXPECT_EQ(WaitExit(Spawn({exe, "-ONCE"}, {})), 1);
  EXPECT_EQ(warnings(), 0);
  std::filesystem::remove_all(dir.File("log"));
  chmod(dir.File("mysqlconn.ini").c_str(), 0644);
  EXPECT_EQ(WaitExit(Spawn({exe, "-ONCE"}, {})), 1);
  EXPECT_EQ(warnings(), 1);
}

TEST(SettingsFile, AMissingFileIsNamedEachCycleAndAnOddPasswordLogsIn) {
  TTempDir dir;
  const std::string exe = Install(dir);
  // No settings file: both cycles say so, and both fail to connect.
  EXPECT_EQ(WaitExit(Spawn({exe, "-ONCE"}, {})), 1);
  EXPECT_EQ(Count(LogTexts(dir), "Settings file " + dir.File("mysqlconn.ini") +
                                     " not found; the built-in defaults are used"),
            2);
  std::filesystem::remove_all(dir.File("log"));

  // A password with ; } { = and a blank, written as it is: both cycles log in.
  tidewell::test::TScratchDatabase db(tidewell::test::TScratchDatabase::Maria);
  WriteFile(dir.File("mysqlconn.ini"), "[MySQL]\nDataBase=" + db.Name() + "\nUser=" +
                                           tidewell::test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_USER") + "\nKey=" +
                                           tidewell::test::TestDbEnv("TIDEWELL_TEST_MARIADB_ODD_PASSWORD") +
                                           "\nCustom=" + tidewell::test::MariaExtra() + "\n");
  chmod(dir.File("mysqlconn.ini").c_str(), 0600);
  EXPECT_EQ(WaitExit(Spawn({exe, "-ONCE"}, {}, dir.File("output.txt"))), 0)
      << tidewell::test::ReadFile(dir.File("output.txt"));
  for (const auto& t : LogTexts(dir)) {
    EXPECT_EQ(t.find("Access denied"), std::string::npos) << t;
    EXPECT_EQ(t.find("Settings file"), std::string::npos) << t;
  }
}

TEST(CommandLine, HelpAndVersionPrintAndExitZeroWithoutStartingAnything) {
  TTempDir dir;
  const std::string exe = Install(dir);
  for (const char* help : {"--help", "-HELP", "/help", "-?", "/?"}) {
    EXPECT_EQ(WaitExit(Spawn({exe, help}, {}, dir.File("out.txt"))), 0) << help;
    EXPECT_EQ(tidewell::test::ReadFile(dir.File("out.txt")).rfind("Usage: tidewell", 0), 0u) << help;
  }
  for (const char* version : {"--version", "-VERSION", "/Version"}) {
    EXPECT_EQ(WaitExit(Spawn({exe, version}, {}, dir.File("out.txt"))), 0) << version;
    EXPECT_TRUE(std::regex_match(tidewell::test::ReadFile(dir.File("out.txt")),
                                 std::regex("tidewell \\d+\\.\\d+\\.\\d+\\.\\d+\n")))
        << version;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("log")));
}

// The package puts a link to the program on the PATH; the program must still
// find its settings, log and journals beside the real executable. -CHECK
// names the files it looked at, exits 1 on a failure and writes nothing.
TEST(CommandLine, ThroughALinkTheProgramFindsItsFolderAndCheckWritesNothing) {
  TTempDir dir, bin;
  const std::string exe = Install(dir);
  WriteUnreachableSettings(dir);
  std::filesystem::create_symlink(exe, bin.File("tidewell"));
  EXPECT_EQ(WaitExit(Spawn({bin.File("tidewell"), "-CHECK"}, {}, bin.File("out.txt"))), 1);
  const std::string out = tidewell::test::ReadFile(bin.File("out.txt"));
  EXPECT_NE(out.find("ok    settings: " + dir.File("mysqlconn.ini") + " ("), std::string::npos) << out;
  EXPECT_NE(out.find("ok    log folder: " + dir.File("log") + " is not there yet"), std::string::npos) << out;
  EXPECT_NE(out.find("FAIL  connection: H: D:marrowby U: P:: "), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("log")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("journal")));
  EXPECT_FALSE(std::filesystem::exists(bin.File("log")));
}
