// dbfcheck [--repair [--template MODEL.dbf]] TABLE.dbf...: checks tables with
// their memo files and production indexes and prints what it found; with
// --repair it first puts right what it can (see dbf_repair.h). Exits 1 when
// any table still has a fault, 2 on a usage error (an unknown option, a
// missing value, no table).
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
    "what it can; --template names the model it makes a table again from (by\n"
    "default the service's template for the table's folder). After \"--\" every\n"
    "argument is a table.\n"
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

// A usage error: what was wrong, then the usage, on standard error.
int UsageError(const std::string& why) {
  std::cerr << "dbfcheck: " << why << "\n" << Usage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool repair = false;
  bool haveModel = false;
  std::string model;
  std::vector<std::string> tables;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (IsSwitch(argv[i], "--help", "HELP") || IsSwitch(argv[i], "--help", "?")) {
      std::cout << Usage;
      return 0;
    }
    if (IsSwitch(argv[i], "--version", "VERSION")) {
      std::cout << "dbfcheck " << DBFCHECK_VERSION << "\n";
      return 0;
    }
  }
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // Everything after "--" is a table, even a name that starts with "-".
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      tables.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--repair") {
      repair = true;
    } else if (arg == "--template" || arg.rfind("--template=", 0) == 0) {
      if (arg.size() > 10) {
        model = arg.substr(11);
      } else if (i + 1 < argc && argv[i + 1][0] != '-') {
        model = argv[++i];
      } else {
        return UsageError("--template needs the path of a model table");
      }
      if (model.empty()) return UsageError("--template needs the path of a model table");
      haveModel = true;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (tables.empty()) return UsageError("no table given");
  if (haveModel && !repair) return UsageError("--template belongs to --repair");
  int faults = 0;
  for (const auto& table : tables)
    faults += repair ? tidewell::tools::RepairDbf(table, model, std::cout) : tidewell::tools::CheckDbf(table, std::cout);
  return faults == 0 ? 0 : 1;
}
