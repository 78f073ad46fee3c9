// The tidewell executable for tests that run several converters as
// processes: the program itself (the same service module, switches and
// modes), writing under the share root named by TIDEWELL_TEST_SHARE_ROOT
// instead of the compiled-in one, so each test has a share of its own.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/sMain.h"
#include "host/ServiceApplication.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  tidewell::TServiceApplication application(std::move(args));
  auto kestrel = std::make_unique<tidewell::TKestrel>();
  if (const char* root = std::getenv("TIDEWELL_TEST_SHARE_ROOT")) kestrel->ShareRootOverride = root;
  application.CreateForm(std::move(kestrel));
  return application.Run();
}
