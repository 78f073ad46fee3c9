// The command line, and registering the service with the systemd backend
// writing into a temporary unit folder.
#include <gtest/gtest.h>

#include "host/ServiceApplication.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::ReadFile;
using tidewell::test::TTempDir;

namespace {

class TIdleService : public TOneShotService {
 public:
  TIdleService() : TOneShotService("Kestrel", "Tidewell") {}
  bool RunOnce() override { return true; }
  void StopOnce() override {}
};

struct Outcome {
  int ExitCode;
  std::string Out, Err;
};

Outcome RunApp(const std::vector<std::string>& args, const std::string& unitDir) {
  TServiceApplication app(args);
  app.CreateForm(std::make_unique<TIdleService>());
  app.SetServiceManager(platform::CreateSystemServiceManager(unitDir));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int rc = app.Run();
  Outcome o{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  return o;
}

}  // namespace

TEST(CommandLine, SwitchesNeedADashOrSlashAndIgnoreCaseAndPosition) {
  TServiceApplication app({"tidewell", "foo", "/SiLeNt", "-install", "INSTALL", "-"});
  EXPECT_TRUE(app.FindSwitch("INSTALL"));
  EXPECT_TRUE(app.FindSwitch("silent"));
  EXPECT_FALSE(app.FindSwitch("UNINSTALL"));
  EXPECT_FALSE(app.FindSwitch("foo"));  // a word without - or / is no switch
  EXPECT_FALSE(TServiceApplication({"-INSTALL"}).FindSwitch("INSTALL"));  // argument 0 is the program
  EXPECT_FALSE(TServiceApplication({"x", "--install"}).FindSwitch("INSTALL"));
}

TEST(Install, WritesTheUnitAndReportsSuccessUnlessSilent) {
  TTempDir units;
  const Outcome o = RunApp({"tidewell", "-install"}, units.Path());
  EXPECT_EQ(o.ExitCode, 0);
  EXPECT_EQ(o.Out, "Service installed successfully\n");
  EXPECT_EQ(o.Err, "");
  const std::string unit = ReadFile(units.File("Kestrel.service"));
  EXPECT_NE(unit.find("Description=Tidewell\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=" + platform::ExecutablePath() + "\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_EQ(unit.find("User="), std::string::npos);  // local system account

  // Installing again fails with the service manager's code and text, even silently.
  const Outcome again = RunApp({"tidewell", "/INSTALL", "/silent"}, units.Path());
  EXPECT_EQ(again.ExitCode, 1);
  EXPECT_EQ(again.Out, "");
  EXPECT_EQ(again.Err,
            "Service \"Tidewell\" failed to install with error: \"System Error.  Code: 1073.\r\n"
            "The specified service already exists\"\n");
}

TEST(Install, InstallWinsOverUninstallAndUninstallRemovesTheUnit) {
  TTempDir units;
  EXPECT_EQ(RunApp({"tidewell", "-uninstall", "-install", "-silent"}, units.Path()).ExitCode, 0);
  EXPECT_TRUE(platform::FileExists(units.File("Kestrel.service")));
  const Outcome removed = RunApp({"tidewell", "-uninstall"}, units.Path());
  EXPECT_EQ(removed.ExitCode, 0);
  EXPECT_EQ(removed.Out, "Service uninstalled successfully\n");
  EXPECT_FALSE(platform::FileExists(units.File("Kestrel.service")));

  const Outcome missing = RunApp({"tidewell", "-uninstall", "-silent"}, units.Path());
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_EQ(missing.Err,
            "Service \"Tidewell\" failed to uninstall with error: \"System Error.  Code: 1060.\r\n"
            "The specified service does not exist as an installed service\"\n");
}

TEST(Install, AnUnusableServiceManagerIsAnApplicationErrorWithExitCode1) {
  TTempDir tmp;
  const Outcome o = RunApp({"tidewell", "-install"}, tmp.File("no-such-folder"));
  EXPECT_EQ(o.ExitCode, 1);
  EXPECT_EQ(o.Err, "Application Error: System Error.  Code: 3.\r\nThe system cannot find the path specified\n");
}
