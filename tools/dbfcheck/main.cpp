// dbfcheck TABLE.dbf...: checks tables with their memo files and production
// indexes and prints what it found; exits 1 when any table has a fault.
#include "tools/dbfcheck/dbf_check.h"

#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: dbfcheck TABLE.dbf...\n";
    return 2;
  }
  int faults = 0;
  for (int i = 1; i < argc; ++i) faults += tidewell::tools::CheckDbf(argv[i], std::cout);
  return faults == 0 ? 0 : 1;
}
