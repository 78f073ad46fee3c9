// dbfcheck [--repair [--template MODEL.dbf]] TABLE.dbf...: checks tables with
// their memo files and production indexes and prints what it found; with
// --repair it first puts right what it can (see dbf_repair.h). Exits 1 when
// any table still has a fault.
#include "tools/dbfcheck/dbf_check.h"
#include "tools/dbfcheck/dbf_repair.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  bool repair = false;
  std::string model;
  std::vector<std::string> tables;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repair") {
      repair = true;
    } else if (arg == "--template" && i + 1 < argc) {
      model = argv[++i];
    } else {
      tables.push_back(arg);
    }
  }
  if (tables.empty() || (!model.empty() && !repair)) {
    std::cerr << "usage: dbfcheck [--repair [--template MODEL.dbf]] TABLE.dbf...\n";
    return 2;
  }
  int faults = 0;
  for (const auto& table : tables)
    faults += repair ? tidewell::tools::RepairDbf(table, model, std::cout) : tidewell::tools::CheckDbf(table, std::cout);
  return faults == 0 ? 0 : 1;
}
