// The host's state machine, driven through the in-process service manager:
// this test's thread is the main thread (its message loop runs the timer),
// a second thread plays the service manager sending control codes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/ServiceApplication.h"
#include "platform/System.h"
#include "platform/Timer.h"
#include "tests/support/TestServiceManager.h"

using namespace tidewell;
using tidewell::test::TTestServiceManager;

namespace {

enum : std::uint32_t { Stopped = 1, StartPending, StopPending, Running, ContinuePending, PausePending, Paused };

class TProbeService : public TOneShotService {
 public:
  TProbeService() : TOneShotService("Probe", "Probe Service") {
    OnExecute = [this] {
      while (!Terminated()) {
        HandleRequests(true);
        platform::Sleep(10);
      }
    };
    Timer.OnTimer = [this] { ++Ticks; };
    Timer.SetInterval(10);
    Timer.SetEnabled(true);
  }
  bool RunOnce() override { return true; }
  void StopOnce() override {}
  platform::TTimer Timer;  // ticks on the main loop, like the service's cycles
  std::atomic<int> Ticks{0};
};

struct Host {
  TServiceApplication App{{"probe"}};
  TProbeService* Service;
  TTestServiceManager* Manager;
  std::vector<std::pair<std::string, std::string>> Events;
  std::mutex EventsLock;

  Host() {
    auto s = std::make_unique<TProbeService>();
    Service = s.get();
    App.CreateForm(std::move(s));
    auto m = std::make_unique<TTestServiceManager>();
    Manager = m.get();
    App.SetServiceManager(std::move(m));
    TEventLogger::SetSinkForTesting([this](const std::string& source, const std::string& text) {
      std::lock_guard<std::mutex> lock(EventsLock);
      Events.emplace_back(source, text);
    });
  }
  ~Host() { TEventLogger::SetSinkForTesting(nullptr); }

  // Runs the service on this thread while `script` plays the service manager.
  int Run(const std::function<void()>& script) {
    std::thread scm([&] {
      script();
      // A failed ASSERT returns from the script before its stop: stop the
      // service anyway, so the test fails rather than waits forever. After a
      // stop the script sent itself, this one changes nothing.
      const auto reports = Manager->Reports();
      if (!reports.empty() && reports.back().CurrentState != Stopped) Manager->Send(SERVICE_CONTROL_STOP);
    });
    const int rc = App.RunAsService();
    scm.join();
    return rc;
  }
  std::vector<std::uint32_t> States() {
    std::vector<std::uint32_t> s;
    for (const auto& r : Manager->Reports()) s.push_back(r.CurrentState);
    return s;
  }
};

}  // namespace

TEST(ServiceStates, StartReportsCheckpointsOneTwoThenRunningAndStopEndsStopped) {
  Host h;
  const int rc = h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
  });
  EXPECT_EQ(rc, 0);
  const auto r = h.Manager->Reports();
  ASSERT_EQ(h.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Running, StopPending, Stopped}));
  EXPECT_EQ(r[0].CheckPoint, 1u);
  EXPECT_EQ(r[1].CheckPoint, 2u);
  EXPECT_EQ(r[2].CheckPoint, 0u);
  EXPECT_EQ(r[0].ControlsAccepted, 0u);
  EXPECT_EQ(r[1].ControlsAccepted, 0u);
  EXPECT_EQ(r[2].ControlsAccepted, 7u);
  for (const auto& s : r) {
    EXPECT_EQ(s.ServiceType, 0x10u);
    EXPECT_EQ(s.WaitHint, 5000u);
    EXPECT_EQ(s.Win32ExitCode, 0u);
  }
}

TEST(ServiceStates, PauseSuspendsOnlyTheServiceThreadAndStopWhilePausedStillStops) {
  Host h;
  int ticksWhilePaused = 0;
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_PAUSE);
    ASSERT_GE(h.Manager->WaitForState(Paused), 0);
    const int before = h.Service->Ticks;
    platform::Sleep(150);
    ticksWhilePaused = h.Service->Ticks - before;
    h.Manager->Send(SERVICE_CONTROL_STOP);
  });
  EXPECT_GT(ticksWhilePaused, 3) << "the main loop's timer stopped with the service thread";
  EXPECT_EQ(h.States(),
            (std::vector<std::uint32_t>{StartPending, StartPending, Running, PausePending, Paused, StopPending, Stopped}));
}

TEST(ServiceStates, ContinueInterrogateAndUnknownCodes) {
  Host h;
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_PAUSE);
    ASSERT_GE(h.Manager->WaitForState(Paused), 0);
    h.Manager->Send(SERVICE_CONTROL_CONTINUE);
    ASSERT_GE(h.Manager->WaitForState(Running, 3), 0);
    h.Manager->Send(128);  // a code the service does not know
    h.Manager->Send(0);
    h.Manager->Send(SERVICE_CONTROL_INTERROGATE);
    ASSERT_GE(h.Manager->WaitForState(Running, 7), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
  });
  EXPECT_EQ(h.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Running, PausePending, Paused,
                                                    ContinuePending, Running, Running, StopPending, Stopped}));
}

TEST(ServiceStates, AStopHandlerAnsweringFalseLeavesTheServiceRunning) {
  Host h;
  int refusals = 1;
  h.Service->OnStop = [&](bool& stopped) { stopped = refusals-- <= 0; };
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
    ASSERT_GE(h.Manager->WaitForState(Running, 3), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
  });
  EXPECT_EQ(h.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Running, StopPending, Running,
                                                    StopPending, Stopped}));
}

TEST(ServiceStates, CodesAfterAnAnsweredStopChangeNothingAndNothingSuspendsAStoppingThread) {
  Host h;
  std::atomic<int> stops{0}, shutdowns{0};
  h.Service->OnStop = [&](bool& stopped) {
    ++stops;
    platform::Sleep(100);  // the row in hand; more codes arrive meanwhile
    stopped = true;
  };
  h.Service->OnShutdown = [&] { ++shutdowns; };
  const auto started = std::chrono::steady_clock::now();
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
    h.Manager->Send(SERVICE_CONTROL_PAUSE);
    h.Manager->Send(SERVICE_CONTROL_STOP);
    h.Manager->Send(SERVICE_CONTROL_SHUTDOWN);
    h.Manager->Send(SERVICE_CONTROL_INTERROGATE);
  });
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(shutdowns, 0);
  EXPECT_EQ(h.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Running, StopPending, Stopped}));
}

TEST(ServiceStates, AStopSentWhileAPauseIsBeingTakenIsNotSleptThrough) {
  Host h;
  // The stop is queued (and its wake-up spent) while the pause is still
  // being acted on, as when both signals arrive at once.
  h.Service->OnPause = [](bool& paused) {
    platform::Sleep(100);
    paused = true;
  };
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_PAUSE);
    platform::Sleep(20);
    h.Manager->Send(SERVICE_CONTROL_STOP);
    EXPECT_GE(h.Manager->WaitForState(Stopped, 0, std::chrono::seconds(5)), 0) << "the stop was slept through";
  });
  EXPECT_EQ(h.States(),
            (std::vector<std::uint32_t>{StartPending, StartPending, Running, PausePending, Paused, StopPending, Stopped}));
}

TEST(ServiceStates, StatusTextsReachTheServiceManagerOnlyWhileItServes) {
  Host h;
  h.Service->OnExecute = [&] {
    h.Service->SetStatusText("weight: 12 rows converted");
    while (!h.Service->Terminated()) h.Service->HandleRequests(true);
  };
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_STOP);
  });
  h.Service->SetStatusText("after the end");  // nobody listens: dropped
  EXPECT_EQ(h.Manager->Texts(), std::vector<std::string>{"weight: 12 rows converted"});
}

TEST(ServiceFailures, ExceptionsInControlActionsAreLoggedWithTheirWord) {
  Host h;
  h.Service->OnPause = [](bool&) { throw std::runtime_error("no pause today"); };
  h.Service->OnStop = [](bool&) { throw std::runtime_error("cannot stop"); };
  h.Service->OnShutdown = [] { throw std::runtime_error("shutdown hurt"); };
  h.Run([&] {
    ASSERT_GE(h.Manager->WaitForState(Running), 0);
    h.Manager->Send(SERVICE_CONTROL_PAUSE);
    ASSERT_GE(h.Manager->WaitForState(Running, 3), 0);  // back to the old state
    h.Manager->Send(SERVICE_CONTROL_STOP);
    ASSERT_GE(h.Manager->WaitForState(Running, 5), 0);
    h.Manager->Send(SERVICE_CONTROL_SHUTDOWN);  // ends the service even when it fails
  });
  EXPECT_EQ(h.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Running, PausePending, Running,
                                                    StopPending, Running, StopPending, Stopped}));
  ASSERT_EQ(h.Events.size(), 3u);
  EXPECT_EQ(h.Events[0], std::make_pair(std::string("Probe"), std::string("Service failed on pause: no pause today")));
  EXPECT_EQ(h.Events[1].second, "Service failed on stop: cannot stop");
  EXPECT_EQ(h.Events[2].second, "Service failed on shutdown: shutdown hurt");
}

TEST(ServiceFailures, ExecuteAndStartFailuresStopTheServiceWithAnEntry) {
  Host h;
  h.Service->OnExecute = [] { throw std::runtime_error("execute broke"); };
  h.Run([] {});
  EXPECT_EQ(h.States().back(), Stopped);
  ASSERT_EQ(h.Events.size(), 1u);
  EXPECT_EQ(h.Events[0].second, "Service failed on execute: execute broke");

  Host s;
  s.Service->OnStart = [](bool&) { throw std::runtime_error("start broke"); };
  s.Run([] {});
  EXPECT_EQ(s.States(), (std::vector<std::uint32_t>{StartPending, StartPending, Stopped}));
  ASSERT_EQ(s.Events.size(), 1u);
  EXPECT_EQ(s.Events[0].second, "Service failed on start: start broke");
}

TEST(ServiceFailures, DispatcherAndStatusFailuresGoToTheEventLog) {
  Host h;
  h.Manager->DispatchError = platform::ErrFailedServiceControllerConnect;
  EXPECT_EQ(h.Run([] {}), 1);
  ASSERT_EQ(h.Events.size(), 1u);
  EXPECT_EQ(h.Events[0].first, platform::ExtractFileName(platform::ExecutablePath()));
  EXPECT_EQ(h.Events[0].second, "text of 1063");

  Host r;
  r.Manager->RegisterError = 6;
  r.Run([] {});
  EXPECT_TRUE(r.States().empty());
  ASSERT_EQ(r.Events.size(), 1u);
  EXPECT_EQ(r.Events[0], std::make_pair(std::string("Probe"), std::string("text of 6")));
}

TEST(Registration, ValuesHandedToTheServiceManager) {
  TProbeService s;
  EXPECT_EQ(s.GetNTServiceType(), 0x10u);
  EXPECT_EQ(s.GetNTServiceType(true), 0x20u);
  EXPECT_EQ(s.GetNTStartType(), 2u);
  EXPECT_EQ(s.GetNTErrorSeverity(), 1u);
  EXPECT_EQ(s.GetNTDependencies(), "");
  s.StartType = stBoot;
  EXPECT_EQ(s.GetNTStartType(), 2u);
  s.ServiceType = stDevice;
  EXPECT_EQ(s.GetNTStartType(), 0u);
  EXPECT_EQ(s.GetNTServiceType(), 1u);
  s.StartType = stDisabled;
  EXPECT_EQ(s.GetNTStartType(), 4u);
  s.SetServiceStartName("svc");
  s.SetPassword("pw");
  s.SetInteractive(true);
  EXPECT_EQ(s.ServiceStartName(), "");
  EXPECT_EQ(s.Password(), "");
  EXPECT_EQ(s.GetNTServiceType(), 0x101u);
  s.SetServiceStartName("svc");
  EXPECT_FALSE(s.Interactive());
  s.Dependencies = {{"mariadb", false}, {"Network", true}};
  EXPECT_EQ(s.GetNTDependencies(), std::string("mariadb\0+Network\0\0", 18));
  s.AllowPause = false;
  EXPECT_EQ(s.GetNTControlsAccepted(), 5u);
}
