// dbfcheck [--repair [--template MODEL.dbf]] TABLE.dbf...: checks tables with
// their memo files and production indexes and prints what it found; with
// --repair it first puts right what it can (see dbf_repair.h). Exits 1 when
// any table still has a fault.
#include "tools/dbfcheck/dbf_check.h"
#include "tools/dbfcheck/dbf_repair.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const Usage =
    "Usage: dbfcheck [--repair [--template MODEL.dbf]] TABLE.dbf...\n"
    "Checks each table with its memo file and production index the way a legacy\n"
    "xBase program relies on them: the header against the file size, the end-of-file\n"
    "byte, every memo pointer, and every index tag's keys. Prints a report; exits 1\n"
    "when any table still has a fault, 2 on a usage error. --repair first puts right\n"
    "what it can.\n"
    "  --help, -HELP, -?        this text\n"
    "  --version, -VERSION      the program's version\n";

// The switch spellings the service's own program takes, for the same users,
// but only after "-": "/version" may well be a table's path.
bool IsSwitch(const char* arg, const char* gnu, const char* word) {
  if (std::strcmp(arg, gnu) == 0) return true;
  if (arg[0] != '-') return false;
  const char* rest = arg + 1;
  for (; *rest && *word; ++rest, ++word)
    if ((*rest | 0x20) != (*word | 0x20)) return false;
  return *rest == 0 && *word == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool repair = false;
  std::string model;
  std::vector<std::string> tables;
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], "--help", "HELP") || IsSwitch(argv[i], "--help", "?")) {
      std::cout << Usage;
      return 0;
    }
    if (IsSwitch(argv[i], "--version", "VERSION")) {
      std::cout << "dbfcheck " << DBFCHECK_VERSION << "\n";
      return 0;
    }
  }
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
