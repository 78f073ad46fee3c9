// Tidewell: copies the unconverted rows of the weight and action tables into
// per-machine, per-day dBASE files, every two minutes, as a service.
#include <string>
#include <vector>

#include "app/Check.h"
#include "app/sMain.h"
#include "common/BuildConfig.h"
#include "common/Format.h"
#include "host/ServiceApplication.h"

namespace {

const char* const Usage =
    "Usage: tidewell [switch]\n"
    "Copies the unconverted rows of the weight and action tables into dBASE files,\n"
    "every two minutes, as the service \"Kestrel\". Settings: mysqlconn.ini beside\n"
    "the executable; log: log/ beside the executable.\n"
    "\n"
    "Switches start with - or / and may be written in any letter case:\n"
    "  (none)      run as the service (started by the service manager)\n"
    "  -CONSOLE    run in the foreground as the service does; Ctrl+C stops it,\n"
    "              and the service's signals are answered alike (state lines\n"
    "              on standard output)\n"
    "  -ONCE       run two cycles (weight, then action) and exit: 0 when both\n"
    "              connected to the database, 1 otherwise; Ctrl+C ends it early,\n"
    "              pause, continue and hang-up signals are ignored\n"
    "  -CHECK      check the settings, the driver, the database, the tables, the\n"
    "              templates, the share and the journals, one line each; exit 0\n"
    "              when nothing failed, 1 otherwise. Writes nothing\n"
    "  -INSTALL    register the service and enable it for automatic start\n"
    "  -UNINSTALL  stop the service and remove its registration\n"
    "  -SILENT     with -INSTALL or -UNINSTALL: print nothing on success\n"
    "  -VERIFY [weight|action] [FROM [TO]] [-REPAIR]\n"
    "              compare the marked rows of each day (YYYY-MM-DD; default\n"
    "              both tables, the last 7 days) with the records of their\n"
    "              files, read-only; exit 0 all in order, 1 discrepancies, 2\n"
    "              something could not be read. -REPAIR clears the marks of\n"
    "              rows whose record is missing: the next cycle copies them again\n"
    "  -HELP, -?, --help        this text\n"
    "  -VERSION, --version      the program's version\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  tidewell::TServiceApplication application(std::move(args));
  application.Usage = Usage;
  application.VersionText =
      tidewell::Format("tidewell %d.%d.%d.%d", static_cast<int>(tidewell::VersionParts[0]),
                       static_cast<int>(tidewell::VersionParts[1]), static_cast<int>(tidewell::VersionParts[2]),
                       static_cast<int>(tidewell::VersionParts[3]));
  auto service = std::make_unique<tidewell::TKestrel>();
  const tidewell::TKestrel& kestrel = *service;
  application.CreateForm(std::move(service));
  application.Commands.push_back({"CHECK", [&kestrel] { return tidewell::RunSelfCheck(kestrel); }});
  return application.Run();
}
