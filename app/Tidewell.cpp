// Tidewell: copies the unconverted rows of the weight and action tables into
// per-machine, per-day dBASE files, every two minutes, as a service.
#include <string>
#include <vector>

#include "app/sMain.h"
#include "host/ServiceApplication.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  tidewell::TServiceApplication application(std::move(args));
  application.CreateForm(std::make_unique<tidewell::TKestrel>());
  return application.Run();
}
