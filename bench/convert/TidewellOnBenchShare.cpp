// The tidewell executable the conversion benchmark runs: the program itself
// (the same service module, switches and modes), writing under the share
// root named by TIDEWELL_BENCH_SHARE_ROOT instead of the compiled-in one
// (and never without it: a benchmark has no business on the real share).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/sMain.h"
#include "host/ServiceApplication.h"

int main(int argc, char** argv) {
  const char* root = std::getenv("TIDEWELL_BENCH_SHARE_ROOT");
  if (!root || !*root) {
    std::fprintf(stderr, "TIDEWELL_BENCH_SHARE_ROOT is not set: scripts/bench-convert runs this program\n");
    return 2;
  }
  std::vector<std::string> args(argv, argv + argc);
  tidewell::TServiceApplication application(std::move(args));
  auto kestrel = std::make_unique<tidewell::TKestrel>();
  kestrel->ShareRootOverride = root;
  application.CreateForm(std::move(kestrel));
  return application.Run();
}
