// The service module's cycle driven through the real host: the timer ticks
// on this test's thread (the main loop), control codes go to the service
// thread. The settings and conversion steps are replaced by scripted ones.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <deque>
#include <regex>
#include <mutex>
#include <thread>

#include "app/sMain.h"
#include "common/Clock.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServiceManager.h"

using namespace tidewell;
using Clock = std::chrono::steady_clock;
using tidewell::test::ReadCrLfLines;
using tidewell::test::TTempDir;

namespace {

class TScriptedKestrel : public TKestrel {
 public:
  // Results LoadSettings gives, in order; true once the script runs out.
  std::deque<bool> Connects;
  // How long each step takes.
  std::chrono::milliseconds ConnectTime{0}, ConvertTime{0};
  // Conversion keeps going until a stop is requested.
  bool ConvertUntilStopped = false;
  bool ThrowInConvert = false;

  std::mutex Lock;
  std::vector<std::string> Tables;
  std::vector<Clock::time_point> CycleStarts, CycleEnds;
  int Closes = 0;

  bool LoadSettings() override {
    {
      std::lock_guard<std::mutex> g(Lock);
      CycleStarts.push_back(Clock::now());
    }
    std::this_thread::sleep_for(ConnectTime);
    LastSettings = TConnectSettings{"dsn", "marrowby", "clerk", "secret", "drv", ""};
    bool ok = true;
    {
      std::lock_guard<std::mutex> g(Lock);
      if (!Connects.empty()) {
        ok = Connects.front();
        Connects.pop_front();
      }
      if (!ok) CycleEnds.push_back(Clock::now());
    }
    return ok;
  }

  // Whether every cycle still held Busy when it let its connection go.
  std::atomic<bool> BusyAtEveryClose{true};
  void CloseDatabase() override {
    ++Closes;
    if (!Busy) BusyAtEveryClose = false;
  }

  // Busy is the cycle's: raised around this call by the timer's tick.
  void ConvertTables(bool weight) override {
    struct Clear {
      TScriptedKestrel& K;
      ~Clear() {
        std::lock_guard<std::mutex> g(K.Lock);
        K.CycleEnds.push_back(Clock::now());
      }
    } clear{*this};
    {
      std::lock_guard<std::mutex> g(Lock);
      Tables.push_back(weight ? "weight" : "action");
    }
    MainLog->Add(std::string("converting ") + (weight ? "weight" : "action"));
    if (ThrowInConvert) throw std::runtime_error("conversion blew up");
    if (ConvertUntilStopped) {
      int rows = 0;
      while (!StopRequested) {
        ReportProgress(weight ? "weight" : "action", ++rows);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    std::this_thread::sleep_for(ConvertTime);
    MainLog->Add("conversion finished");
  }

  size_t CyclesDone() {
    std::lock_guard<std::mutex> g(Lock);
    return CycleEnds.size();
  }
};

// Runs the service in the foreground on this thread until `until` holds,
// then sends the control code and waits for the service to stop.
void RunUntil(TServiceApplication& app, TScriptedKestrel& k, const std::function<bool()>& until,
              std::uint32_t code = SERVICE_CONTROL_STOP) {
  std::thread controller([&] {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!until() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (!k.Controller(code)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  app.RunInForeground(false);
  controller.join();
}

struct Fixture {
  TTempDir Dir;
  TServiceApplication App{{"tidewell"}};
  TScriptedKestrel* K;
  // The log has a file a weekday: a test that crosses midnight reads two.
  const int StartDay = DayOfWeek(Today());
  Fixture() {
    auto k = std::make_unique<TScriptedKestrel>();
    K = k.get();
    K->ExeDirOverride = Dir.Path();
    K->FirstDelayMs = 100;
    K->IntervalMs = 250;
    App.CreateForm(std::move(k));
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    std::vector<int> days{StartDay};
    if (DayOfWeek(Today()) != StartDay) days.push_back(DayOfWeek(Today()));
    for (int day : days)
      for (const auto& line : ReadCrLfLines(K->ExeDir + "/log/tidewell" + std::to_string(day) + ".log"))
        texts.push_back(line.size() > 24 && line[2] == ':' ? line.substr(24) : line);
    return texts;
  }
};

size_t IndexOf(const std::vector<std::string>& v, const std::string& s) {
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == s) return i;
  return v.size();
}

}  // namespace

// Installed services, unit files and administrators' commands know these
// names: renaming either would orphan every installation.
TEST(ServiceIdentity, RegisteredAsKestrelAndShownAsTidewell) {
  TKestrel k;
  EXPECT_EQ(k.Name(), "Kestrel");
  EXPECT_EQ(k.DisplayName(), "Tidewell");
}

TEST(CycleTiming, NextCycleStartsAFullIntervalAfterThePreviousOneEnded) {
  Fixture f;
  f.K->ConvertTime = std::chrono::milliseconds(150);
  const auto started = Clock::now();
  RunUntil(f.App, *f.K, [&] { return f.K->CyclesDone() >= 3; });
  ASSERT_GE(f.K->CycleStarts.size(), 3u);
  // Timers never fire early, so the lower bounds hold exactly; a busy
  // machine under the sanitizers only makes cycles late, so the upper bound
  // is loose.
  EXPECT_GE(f.K->CycleStarts[0] - started, std::chrono::milliseconds(90));
  EXPECT_LT(f.K->CycleStarts[0] - started, std::chrono::milliseconds(5000));
  for (size_t i = 1; i < 3; ++i) {
    // Measured from the end of the previous cycle, not its start.
    EXPECT_GE(f.K->CycleStarts[i] - f.K->CycleEnds[i - 1], std::chrono::milliseconds(240));
    EXPECT_GE(f.K->CycleStarts[i] - f.K->CycleStarts[i - 1], std::chrono::milliseconds(390));
  }
}

TEST(CycleTables, TablesAlternateAndAFailedConnectionKeepsTheTurn) {
  Fixture f;
  f.K->Connects = {true, true, false, true};
  RunUntil(f.App, *f.K, [&] { return f.K->CyclesDone() >= 4; });
  ASSERT_GE(f.K->Tables.size(), 3u);
  EXPECT_EQ(f.K->Tables[0], "weight");
  EXPECT_EQ(f.K->Tables[1], "action");
  EXPECT_EQ(f.K->Tables[2], "weight");  // the failed cycle's table is taken next
  EXPECT_GE(f.K->Closes, 4);            // every cycle lets its connection go
  const auto texts = f.Texts();
  // The password is never written to the log.
  EXPECT_NE(IndexOf(texts, "ERROR - H:dsn D:marrowby U:clerk P:*****"), texts.size());
  for (const auto& t : texts) EXPECT_EQ(t.find("secret"), std::string::npos) << t;
}

TEST(CycleStop, AStopDuringAConversionWaitsForItAndIsLoggedBeforeEndLog) {
  Fixture f;
  f.K->ConvertUntilStopped = true;
  f.K->ConvertTime = std::chrono::milliseconds(200);  // the row in hand
  RunUntil(f.App, *f.K, [&] { return f.K->Busy.load(); });
  const auto texts = f.Texts();
  const size_t stop = IndexOf(texts, "Stop request received!");
  const size_t finished = IndexOf(texts, "conversion finished");
  const size_t stopped = IndexOf(texts, "Process safely stopped...");
  ASSERT_LT(stopped, texts.size());
  EXPECT_LT(stop, finished);
  EXPECT_LT(finished, stopped);
  EXPECT_EQ(texts.back(), "End Log");
  EXPECT_EQ(f.K->Tables.size(), 1u);
  EXPECT_TRUE(f.K->BusyAtEveryClose);  // the stop waited past the conversion, for the whole cycle
  EXPECT_FALSE(f.K->Busy);
}

TEST(CycleStop, AStopWhileACycleIsStillConnectingWaitsForThatCycle) {
  Fixture f;
  f.K->ConnectTime = std::chrono::milliseconds(300);
  f.K->Connects = {false};
  RunUntil(f.App, *f.K, [&] { return !f.K->CycleStarts.empty(); });
  const auto texts = f.Texts();
  const size_t error = IndexOf(texts, "ERROR - H:dsn D:marrowby U:clerk P:*****");
  ASSERT_LT(error, texts.size()) << "the cycle's line was lost";
  EXPECT_LT(error, IndexOf(texts, "Process safely stopped..."));
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(CycleStop, ShutdownHasItsOwnLinesAndNoCycleStartsAfterIt) {
  Fixture f;
  RunUntil(f.App, *f.K, [&] { return f.K->CyclesDone() >= 1; }, SERVICE_CONTROL_SHUTDOWN);
  const size_t cycles = f.K->CycleStarts.size();
  const auto texts = f.Texts();
  const size_t req = IndexOf(texts, "Shutdown request received!");
  const size_t done = IndexOf(texts, "Process safely shutdown...");
  ASSERT_LT(done, texts.size());
  EXPECT_LT(req, done);
  EXPECT_EQ(texts.back(), "End Log");
  EXPECT_EQ(texts[1], "Start Log");
  EXPECT_EQ(texts[2], "Starting scan of SQL tables...");
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  platform::TMessage m;
  while (platform::PeekNextMessage(m, true)) platform::DispatchNextMessage(m);
  EXPECT_EQ(f.K->CycleStarts.size(), cycles);
}

TEST(CycleFailure, AnExceptionEndsOnlyThatCycleAndKeepsTheTable) {
  Fixture f;
  f.K->ThrowInConvert = true;
  RunUntil(f.App, *f.K, [&] { return f.K->CyclesDone() >= 2; });
  ASSERT_GE(f.K->Tables.size(), 2u);
  EXPECT_EQ(f.K->Tables[0], "weight");
  EXPECT_EQ(f.K->Tables[1], "weight");  // not inverted after the failure
  EXPECT_GE(f.K->Closes, 2);
  const auto texts = f.Texts();
  // Lines of the failed cycle were flushed when it ended.
  EXPECT_LT(IndexOf(texts, "converting weight"), texts.size());
}

TEST(OneShot, TwoCyclesBackToBackAndTheExitResult) {
  TTempDir dir;
  TScriptedKestrel k;
  k.ExeDirOverride = dir.Path();
  k.Connects = {true, true};
  EXPECT_TRUE(k.RunOnce());
  EXPECT_EQ(k.Tables, (std::vector<std::string>{"weight", "action"}));
  EXPECT_EQ(MainLog, nullptr);

  TScriptedKestrel failing;
  failing.ExeDirOverride = dir.Path();
  failing.Connects = {true, false};
  EXPECT_FALSE(failing.RunOnce());

#ifndef _WIN32  // a file whose every write fails: /dev/full
  // A log on a full disk: the run can't say what it did, so it did not go
  // well; its lines went to standard error.
  TTempDir full;
  std::filesystem::create_directory(full.File("log"));
  for (int day = 1; day <= 7; ++day)
    std::filesystem::create_symlink("/dev/full", full.File("log/tidewell" + std::to_string(day) + ".log"));
  TScriptedKestrel unlogged;
  unlogged.ExeDirOverride = full.Path();
  unlogged.Connects = {true, true};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(unlogged.RunOnce());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Starting scan of SQL tables..."), std::string::npos);
#endif
}

TEST(ConnectError, TheLineNamesHostDatabaseUserAndMasksThePassword) {
  EXPECT_EQ(ConnectErrorLine({"h", "d", "u", "", "x", "y"}), "ERROR - H:h D:d U:u P:");
  EXPECT_EQ(ConnectErrorLine({"", "marrowby", "", "pw%s", "x", "y"}), "ERROR - H: D:marrowby U: P:*****");
}

namespace {

// Runs the service under the in-process service manager until `until`
// holds, then stops it.
tidewell::test::TTestServiceManager& RunAsServiceUntil(Fixture& f, const std::function<bool()>& until) {
  auto m = std::make_unique<tidewell::test::TTestServiceManager>();
  auto& manager = *m;
  f.App.SetServiceManager(std::move(m));
  std::thread scm([&] {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!until() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.Send(SERVICE_CONTROL_STOP);
  });
  f.App.RunAsService();
  scm.join();
  return manager;
}

}  // namespace

TEST(CycleStatus, EachCycleSaysWhatItDidAndWhenTheNextOneComes) {
  Fixture f;
  f.K->Connects = {false, true};
  auto& manager = RunAsServiceUntil(f, [&] { return f.K->CyclesDone() >= 2; });
  const auto texts = manager.Texts();
  ASSERT_GE(texts.size(), 2u);
  const std::string time = "\\d\\d:\\d\\d:\\d\\d";
  EXPECT_TRUE(std::regex_match(texts[0], std::regex("weight: no connection to the database \\(ERROR - H:dsn "
                                                    "D:marrowby U:clerk P:\\*\\*\\*\\*\\*\\) at " +
                                                    time + "; next cycle " + time)))
      << texts[0];
  EXPECT_TRUE(std::regex_match(texts[1], std::regex("weight: 0 rows converted at " + time + "; next cycle " + time)))
      << texts[1];
}

TEST(CycleStop, AStopWaitingForTheRowInHandAsksTheServiceManagerForMoreTime) {
  Fixture f;
  f.K->ConvertUntilStopped = true;
  f.K->ConvertTime = std::chrono::milliseconds(4500);  // a slow row in hand
  auto& manager = RunAsServiceUntil(f, [&] { return f.K->Busy.load(); });
  std::vector<std::uint32_t> checkpoints;
  for (const auto& r : manager.Reports())
    if (r.CurrentState == 3) checkpoints.push_back(r.CheckPoint);  // stop pending
  // Once at the stop, then again every two seconds with the checkpoint counting up.
  ASSERT_GE(checkpoints.size(), 3u);
  for (size_t i = 0; i < checkpoints.size(); ++i) EXPECT_EQ(checkpoints[i], i);
  EXPECT_EQ(manager.Reports().back().CurrentState, 1u);
  // Progress goes out at once, then no more than every few seconds.
  const auto texts = manager.Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], "weight: converting, 1 rows so far");
  EXPECT_LE(texts.size(), 3u);
}
