// The command line, and registering the service with the systemd backend
// writing into a temporary unit folder. The unit is read back by rules of
// systemd's own (quoting, escapes, specifiers) and by systemd-analyze.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

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

Outcome RunApp(const std::vector<std::string>& args, const std::string& unitDir,
               const std::string& systemctl = std::string()) {
  TServiceApplication app(args);
  app.CreateForm(std::make_unique<TIdleService>());
  app.SetServiceManager(platform::CreateSystemServiceManager(unitDir, systemctl));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int rc = app.Run();
  Outcome o{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  return o;
}

// How systemd reads a unit file, as far as the units we write use it.
// Settings: key -> values in file order (a key may repeat).
using TUnit = std::multimap<std::string, std::string>;

TUnit ParseUnit(const std::string& text) {
  TUnit unit;
  std::string section;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const size_t eq = line.find('=');
    EXPECT_NE(eq, std::string::npos) << line;
    EXPECT_NE(line.back(), '\\') << "a continued line: " << line;
    unit.emplace(section + "." + line.substr(0, eq), line.substr(eq + 1));
  }
  return unit;
}

// %% is a percent sign; any other specifier would be expanded by systemd.
std::string ExpandSpecifiers(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    EXPECT_TRUE(i + 1 < s.size() && s[i + 1] == '%') << "a specifier systemd would expand in " << s;
    out += '%';
    ++i;
  }
  return out;
}

// Splits a value into words: blanks separate, double or single quotes group,
// a backslash escapes (with C escapes when cEscapes).
std::vector<std::string> Words(const std::string& value, bool cEscapes) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      const char e = value[++i];
      word += cEscapes && e == 'n' ? '\n' : cEscapes && e == 't' ? '\t' : e;
      inWord = true;
    } else if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  EXPECT_EQ(quote, 0) << "an open quote in " << value;
  if (inWord) words.push_back(word);
  return words;
}

// A command line: specifiers first, then words (variables are expanded in
// the arguments only, never in the program's path; we write no arguments).
std::vector<std::string> Command(const std::string& value) {
  std::vector<std::string> words = Words(ExpandSpecifiers(value), true);
  EXPECT_EQ(words.size(), 1u) << value;
  return words;
}

// A list of paths: words first, then specifiers in each.
std::vector<std::string> Paths(const std::string& value) {
  std::vector<std::string> words = Words(value, false);
  for (auto& w : words) w = ExpandSpecifiers(w);
  return words;
}

std::vector<std::string> All(const TUnit& unit, const std::string& key) {
  std::vector<std::string> values;
  for (auto [it, end] = unit.equal_range(key); it != end; ++it) values.push_back(it->second);
  return values;
}

// A stand-in systemctl that notes each call and fails the one named.
std::string FakeSystemctl(const TTempDir& dir, const std::string& failing) {
  const std::string path = dir.File("systemctl");
  tidewell::test::WriteFile(path, "#!/bin/sh\necho \"$*\" >> '" + dir.File("calls") + "'\n[ \"$1\" != '" + failing +
                                      "' ] || exit 4\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
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
  const TUnit unit = ParseUnit(ReadFile(units.File("Kestrel.service")));
  EXPECT_EQ(All(unit, "Unit.Description"), std::vector<std::string>{"Tidewell"});
  EXPECT_EQ(All(unit, "Service.Type"), std::vector<std::string>{"notify"});
  EXPECT_EQ(Command(All(unit, "Service.ExecStart").at(0)), std::vector<std::string>{platform::ExecutablePath()});
  EXPECT_EQ(All(unit, "Install.WantedBy"), std::vector<std::string>{"multi-user.target"});
  EXPECT_TRUE(All(unit, "Service.User").empty());  // local system account
  // Comes back after a crash, waits for the network, and can't gain rights.
  EXPECT_EQ(All(unit, "Service.Restart"), std::vector<std::string>{"on-failure"});
  EXPECT_FALSE(All(unit, "Service.RestartSec").empty());
  EXPECT_EQ(All(unit, "Unit.Wants"), std::vector<std::string>{"network-online.target"});
  EXPECT_EQ(All(unit, "Unit.After"), std::vector<std::string>{"network-online.target"});
  EXPECT_EQ(All(unit, "Service.NoNewPrivileges"), std::vector<std::string>{"yes"});
  EXPECT_EQ(All(unit, "Service.ProtectSystem"), std::vector<std::string>{"strict"});
  EXPECT_EQ(All(unit, "Service.PrivateTmp"), std::vector<std::string>{"yes"});

  // Installing again fails with the service manager's code and text, even silently.
  const Outcome again = RunApp({"tidewell", "/INSTALL", "/silent"}, units.Path());
  EXPECT_EQ(again.ExitCode, 1);
  EXPECT_EQ(again.Out, "");
  EXPECT_EQ(again.Err,
            "Service \"Tidewell\" failed to install with error: \"System Error.  Code: 1073.\r\n"
            "The specified service already exists\"\n");
}

TEST(Install, PathsWithBlanksPercentSignsAndQuotesReachSystemdIntact) {
  TTempDir units, root;
  const std::string folder = root.File("Tide well/50% $HOME");
  std::filesystem::create_directories(folder);
  const std::string exe = folder + "/tidewell";
  std::filesystem::copy_file(platform::ExecutablePath(), exe);
  const std::string share = root.File("share 100% \"q\" back\\slash/");
  std::filesystem::create_directories(share);

  platform::TServiceRegistration r;
  r.Name = "Kestrel";
  r.DisplayName = "Tidewell 100%";
  r.BinaryPath = exe;
  r.WritablePaths = {folder, share};
  r.RequiredMounts = {share};
  auto manager = platform::CreateSystemServiceManager(units.Path());
  ASSERT_EQ(manager->AddService(r), 0);
  const std::string text = ReadFile(units.File("Kestrel.service"));
  const TUnit unit = ParseUnit(text);
  EXPECT_EQ(ExpandSpecifiers(All(unit, "Unit.Description").at(0)), "Tidewell 100%");
  EXPECT_EQ(Command(All(unit, "Service.ExecStart").at(0)), std::vector<std::string>{exe});
  EXPECT_EQ(Paths(All(unit, "Unit.RequiresMountsFor").at(0)), std::vector<std::string>{share});
  // Optional ("-"): a share that is not there yet must not keep the service down.
  EXPECT_EQ(Paths(All(unit, "Service.ReadWritePaths").at(0)), (std::vector<std::string>{"-" + folder, "-" + share}));

  // systemd's own reading: it names the command it could not find, so a
  // path it split or expanded differently fails here.
  ASSERT_EQ(std::system("command -v systemd-analyze >/dev/null"), 0) << "systemd-analyze is missing";
  const std::string check = "systemd-analyze verify '" + units.File("Kestrel.service") + "' > '" +
                            root.File("verify.txt") + "' 2>&1";
  EXPECT_EQ(std::system(check.c_str()), 0) << ReadFile(root.File("verify.txt")) << text;

  // A program path systemd can't run (a quote, a backslash, a line end) is
  // refused with a reason instead of a unit that never starts.
  r.Name = "Other";
  for (const char* name : {"tide\nwell", "tide\"well", "tide\\well", "tide'well"}) {
    r.BinaryPath = folder + "/" + name;
    EXPECT_EQ(manager->AddService(r), platform::ErrServiceCommandFailed) << name;
    EXPECT_NE(manager->SystemText(platform::ErrServiceCommandFailed).find("systemd can't run"), std::string::npos);
  }
  EXPECT_FALSE(platform::FileExists(units.File("Other.service")));
}

// A unit masked by the administrator (its name a link to /dev/null) takes
// the name: it is neither written through nor replaced.
TEST(Install, AMaskedUnitKeepsItsName) {
  TTempDir units;
  std::filesystem::create_symlink("/dev/null", units.File("Kestrel.service"));
  platform::TServiceRegistration r;
  r.Name = "Kestrel";
  r.DisplayName = "Tidewell";
  r.BinaryPath = "/usr/lib/tidewell/tidewell";
  auto manager = platform::CreateSystemServiceManager(units.Path());
  EXPECT_EQ(manager->AddService(r), platform::ErrServiceExists);
  EXPECT_TRUE(std::filesystem::is_symlink(units.File("Kestrel.service")));
}

// The package's unit and the one the program writes for the package's
// paths are one and the same, and both are confined: systemd's own review
// rates the exposure 2.0 or lower (what an administrator's audit checks).
TEST(Install, TheConfinedUnitIsThePackagesAndScoresTwoOrLower) {
  TTempDir units, root;
  platform::TServiceRegistration r;
  r.Name = "Kestrel";
  r.DisplayName = "Tidewell";
  r.Documentation = "man:tidewell(8)";
  r.BinaryPath = "/usr/lib/tidewell/tidewell";
  r.StartName = "tidewell";
  r.WritablePaths = {"/var/log/tidewell", "/var/lib/tidewell", "/mnt/fileserver/share/"};
  r.RequiredMounts = {"/mnt/fileserver/share/"};
  auto manager = platform::CreateSystemServiceManager(units.Path());
  ASSERT_EQ(manager->AddService(r), 0);
  const std::string written = ReadFile(units.File("Kestrel.service"));
  EXPECT_EQ(written, ReadFile(std::string(TIDEWELL_TEST_SOURCE_DIR) + "/packaging/Kestrel.service"));
  const TUnit unit = ParseUnit(written);
  EXPECT_EQ(All(unit, "Service.User"), std::vector<std::string>{"tidewell"});
  EXPECT_EQ(All(unit, "Service.CapabilityBoundingSet"), std::vector<std::string>{""});
  EXPECT_EQ(All(unit, "Service.UMask"), std::vector<std::string>{"0027"});
  EXPECT_EQ(All(unit, "Service.RestrictAddressFamilies"), std::vector<std::string>{"AF_INET AF_INET6 AF_UNIX"});
  EXPECT_EQ(Paths(All(unit, "Service.ReadWritePaths").at(0)),
            (std::vector<std::string>{"-/var/log/tidewell", "-/var/lib/tidewell", "-/mnt/fileserver/share/"}));

  ASSERT_EQ(std::system("command -v systemd-analyze >/dev/null"), 0) << "systemd-analyze is missing";
  const std::string review = "systemd-analyze security --offline=yes --threshold=20 '" + units.File("Kestrel.service") +
                             "' > '" + root.File("security.txt") + "' 2>&1";
  EXPECT_EQ(std::system(review.c_str()), 0) << ReadFile(root.File("security.txt"));

  // The account goes in as it stands, so only a plain name is taken.
  r.Name = "Other";
  for (const char* account : {"tide well", "\"tidewell\"", "-tidewell", "tide%well"}) {
    r.StartName = account;
    EXPECT_EQ(manager->AddService(r), platform::ErrServiceCommandFailed) << account;
    EXPECT_NE(manager->SystemText(platform::ErrServiceCommandFailed).find("is no plain user name"), std::string::npos);
  }
  EXPECT_FALSE(platform::FileExists(units.File("Other.service")));
}

TEST(CommandLine, AProgramsOwnSwitchRunsItsCommandInsteadOfTheService) {
  TServiceApplication app({"tidewell", "/check"});
  app.CreateForm(std::make_unique<TIdleService>());
  int runs = 0;
  app.Commands.push_back({"OTHER", [] { return 9; }});
  app.Commands.push_back({"CHECK", [&runs] {
    ++runs;
    return 7;
  }});
  EXPECT_EQ(app.Run(), 7);
  EXPECT_EQ(runs, 1);
  // Help still comes first.
  TServiceApplication help({"tidewell", "-check", "--help"});
  help.CreateForm(std::make_unique<TIdleService>());
  help.Commands.push_back({"CHECK", [&runs] {
    ++runs;
    return 7;
  }});
  testing::internal::CaptureStdout();
  EXPECT_EQ(help.Run(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(runs, 1);
}

TEST(Install, AFailingSystemctlFailsTheInstallAndLeavesNoUnit) {
  TTempDir units, tools;
  const Outcome o = RunApp({"tidewell", "-install", "-silent"}, units.Path(), FakeSystemctl(tools, "enable"));
  EXPECT_EQ(o.ExitCode, 1);
  EXPECT_EQ(o.Err,
            "Service \"Tidewell\" failed to install with error: \"System Error.  Code: 536870913.\r\n"
            "\"systemctl enable Kestrel.service\" failed with exit code 4\"\n");
  EXPECT_FALSE(platform::FileExists(units.File("Kestrel.service")));
  EXPECT_EQ(ReadFile(tools.File("calls")), "daemon-reload\nenable Kestrel.service\ndaemon-reload\n");
}

TEST(Install, UninstallStopsTheServiceBeforeRemovingItsUnit) {
  TTempDir units, tools;
  const std::string systemctl = FakeSystemctl(tools, "none");
  ASSERT_EQ(RunApp({"tidewell", "-install", "-silent"}, units.Path(), systemctl).ExitCode, 0);
  ASSERT_EQ(RunApp({"tidewell", "-uninstall", "-silent"}, units.Path(), systemctl).ExitCode, 0);
  EXPECT_EQ(ReadFile(tools.File("calls")),
            "daemon-reload\nenable Kestrel.service\nstop Kestrel.service\ndisable Kestrel.service\ndaemon-reload\n");
  EXPECT_FALSE(platform::FileExists(units.File("Kestrel.service")));

  // A stop that fails keeps the unit, and says why.
  TTempDir units2, tools2;
  const std::string failingStop = FakeSystemctl(tools2, "stop");
  ASSERT_EQ(RunApp({"tidewell", "-install", "-silent"}, units2.Path(), failingStop).ExitCode, 0);
  const Outcome o = RunApp({"tidewell", "-uninstall"}, units2.Path(), failingStop);
  EXPECT_EQ(o.ExitCode, 1);
  EXPECT_NE(o.Err.find("\"systemctl stop Kestrel.service\" failed with exit code 4"), std::string::npos) << o.Err;
  EXPECT_TRUE(platform::FileExists(units2.File("Kestrel.service")));
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
